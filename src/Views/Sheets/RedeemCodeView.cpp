#include "Views/Sheets/RedeemCodeView.h"

#include "Controllers/TandrelController.h"
#include "Views/Sheets/SheetControls.h"
#include "Views/Sheets/SheetStyle.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QShortcut>
#include <QShowEvent>
#include <QVBoxLayout>

#include <algorithm>

namespace tandrel {
namespace {

const QColor& kBlue = SheetStyle::blue;

// Every key is marked where it is written (QT_TRANSLATE_NOOP), so lupdate finds them all
// and keeps the Spanish table in step.
QString localized(const char* key)
{
    return QCoreApplication::translate("RedeemCodeView", key);
}

// The code field's backing: a light gray rounded rectangle with a blue outline and a soft
// shadow; the field itself draws no frame.
class FieldBacking : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF shape = QRectF(rect()).adjusted(2.5, 0.5, -2.5, -4.5);
        QPainterPath path;
        path.addRoundedRect(shape, 10, 10);
        painter.fillPath(path.translated(0, 2), QColor(0, 0, 0, 13));
        painter.fillPath(path, QColor(236, 236, 236));
        painter.fillPath(path, QColor(142, 142, 147, 26));
        painter.setPen(QPen(QColor(kBlue.red(), kBlue.green(), kBlue.blue(), 128), 1));
        painter.drawPath(path);
    }
};

// A centred line edit hides its placeholder while it has the focus; this one keeps showing
// it until something is typed, as the sheet opens with the focus already in the field.
class CodeField : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QLineEdit::paintEvent(event);
        if (!text().isEmpty() || !hasFocus() || placeholderText().isEmpty()) {
            return;
        }
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::PlaceholderText));
        painter.drawText(rect(), Qt::AlignCenter, placeholderText());
    }
};

}  // namespace

RedeemCodeView::RedeemCodeView(TandrelController& ctrl, QWidget* parent) : QWidget(parent), m_ctrl(ctrl)
{
    setObjectName(QStringLiteral("redeemCodeView"));
    setMaximumSize(WindowSize::max);
    QPalette light = palette();
    light.setColor(QPalette::Window, QColor(236, 236, 236));
    light.setColor(QPalette::WindowText, Qt::black);
    light.setColor(QPalette::Text, Qt::black);
    light.setColor(QPalette::PlaceholderText, QColor(0, 0, 0, 64));
    setPalette(light);
    setAutoFillBackground(true);

    auto* column = new QVBoxLayout(this);
    // The button keeps 20 below it; the stack sits centred in whatever height the sheet has.
    column->setContentsMargins(0, 0, 0, 20);
    column->setSpacing(20);
    column->addStretch(1);
    column->addLayout(buildHeader());
    column->addWidget(buildTitle());
    column->addWidget(buildCodeField(), 0, Qt::AlignHCenter);
    column->addWidget(buildRedeemButton(), 0, Qt::AlignHCenter);
    column->addStretch(1);

    // Return is the button's default action wherever the focus is in the sheet.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto* shortcut = new QShortcut(key, this);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, this, &RedeemCodeView::redeem);
    }
}

QLayout* RedeemCodeView::buildHeader()
{
    auto* header = new QHBoxLayout;
    header->setContentsMargins(15, 15, 15, 0);
    header->addStretch(1);
    m_closeButton = new SheetCloseButton(0.8, this);
    m_closeButton->setObjectName(QStringLiteral("closeButton"));
    m_closeButton->setAccessibleName(localized(QT_TRANSLATE_NOOP("RedeemCodeView", "Close")));
    connect(m_closeButton, &QAbstractButton::clicked, this, &RedeemCodeView::dismiss);
    header->addWidget(m_closeButton);
    return header;
}

QLabel* RedeemCodeView::buildTitle()
{
    QLabel* title = SheetStyle::label(localized(QT_TRANSLATE_NOOP("RedeemCodeView", "Redeem a Subscription Code")),
                                      SheetStyle::font(SheetStyle::TextStyle::title2), Qt::black, this);
    title->setObjectName(QStringLiteral("titleLabel"));
    title->setContentsMargins(0, 20, 0, 0);
    title->setAlignment(Qt::AlignCenter);
    title->setWordWrap(true);
    return title;
}

// The code field on its light backing; it edits the controller's code and follows it.
QWidget* RedeemCodeView::buildCodeField()
{
    auto* backing = new FieldBacking(this);
    backing->setObjectName(QStringLiteral("codeFieldBacking"));
    backing->setMaximumWidth(300);
    backing->setMinimumWidth(300);
    auto* backingLayout = new QHBoxLayout(backing);
    backingLayout->setContentsMargins(20, 12, 20, 12 + 4);
    m_codeField = new CodeField(backing);
    m_codeField->setObjectName(QStringLiteral("codeField"));
    m_codeField->setPlaceholderText(localized(QT_TRANSLATE_NOOP("RedeemCodeView", "Enter your code")));
    m_codeField->setAccessibleName(m_codeField->placeholderText());
    m_codeField->setAlignment(Qt::AlignCenter);
    m_codeField->setFrame(false);
    m_codeField->setStyleSheet(QStringLiteral("QLineEdit { border: none; background: transparent; color: black; }"));
    m_codeField->setFont(SheetStyle::systemFont(16));
    m_codeField->setText(m_ctrl.code());
    backingLayout->addWidget(m_codeField);
    connect(m_codeField, &QLineEdit::textEdited, this, [this](const QString& text) { m_ctrl.code = text; });
    // The field shows the controller's code when something else sets it.
    m_codeSubscription = m_ctrl.code.sink([this](const QString& code) {
        if (m_codeField->text() != code) {
            m_codeField->setText(code);
        }
    });
    return backing;
}

GradientButton* RedeemCodeView::buildRedeemButton()
{
    GradientButton::Look look;
    look.color = kBlue;
    look.topOpacity = 1.0;
    look.bottomOpacity = 0.8;
    look.cornerRadius = 12;
    look.height = 50;
    look.fontPixelSize = 16;
    look.fontWeight = QFont::Bold;
    look.symbol = QStringLiteral("arrow.right");
    look.symbolFirst = false;
    m_redeemButton = new GradientButton(localized(QT_TRANSLATE_NOOP("RedeemCodeView", "Redeem Code")), look, this);
    m_redeemButton->setObjectName(QStringLiteral("redeemButton"));
    m_redeemButton->setMaximumWidth(200);
    m_redeemButton->setMinimumWidth(200);
    connect(m_redeemButton, &QAbstractButton::clicked, this, &RedeemCodeView::redeem);
    return m_redeemButton;
}

// Never below the sheet's minimum, nor below what its content needs (a longer translation
// of the title wraps onto a second line and asks for more height).
QSize RedeemCodeView::minimumSizeHint() const
{
    return boundedHint(QWidget::minimumSizeHint());
}

QSize RedeemCodeView::sizeHint() const
{
    return boundedHint(QWidget::sizeHint());
}

QSize RedeemCodeView::boundedHint(QSize hint) const
{
    hint = hint.expandedTo(WindowSize::min);
    // The wrapped title's height depends on the width it gets.
    if (layout() && layout()->hasHeightForWidth()) {
        hint.setHeight(std::max(hint.height(), layout()->totalHeightForWidth(hint.width())));
    }
    return hint.boundedTo(WindowSize::max);
}

void RedeemCodeView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The sheet is there to type a code: typing goes to the field at once, not to the close
    // button that comes first in the tab order.
    if (!event->spontaneous()) {
        m_codeField->setFocus(Qt::OtherFocusReason);
    }
}

void RedeemCodeView::redeem()
{
    m_ctrl.redeemCode();
    m_ctrl.showRedeem = false;
}

void RedeemCodeView::dismiss()
{
    m_ctrl.showRedeem = false;
}

}  // namespace tandrel

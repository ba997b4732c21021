#include "Views/Regions/RegionsLoadFailedPanel.h"

#include "Classes/Preferences.h"
#include "Controllers/TandrelController.h"
#include "Views/Sheets/SheetControls.h"

#include <QBoxLayout>
#include <QCoreApplication>
#include <QLabel>

namespace tandrel {

namespace {

QString text(const char* key)
{
    return QCoreApplication::translate("RegionsLoadFailedPanel", key);
}

}  // namespace

RegionsLoadFailedPanel::RegionsLoadFailedPanel(TandrelController& ctrl, QWidget* list)
    : QWidget(list->parentWidget()), m_ctrl(&ctrl), m_list(list), m_redraw(this, [this] { render(); })
{
    setObjectName(QStringLiteral("regionsLoadFailedPanel"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 16, 12, 16);
    column->setSpacing(10);
    column->addStretch(1);
    auto* symbol = new SymbolLabel(QStringLiteral("exclamationmark.triangle.fill"), SheetStyle::red, 32, this);
    column->addWidget(symbol, 0, Qt::AlignHCenter);
    QLabel* title =
        SheetStyle::label(text(QT_TRANSLATE_NOOP("RegionsLoadFailedPanel", "The regions could not be loaded.")),
                          SheetStyle::font(SheetStyle::TextStyle::headline), SheetStyle::red, this);
    title->setObjectName(QStringLiteral("regionsLoadFailedText"));
    // Says what went wrong; set on every render.
    m_hint = SheetStyle::label(QString(), SheetStyle::font(SheetStyle::TextStyle::subheadline), SheetStyle::gray, this);
    m_hint->setObjectName(QStringLiteral("regionsLoadFailedHint"));
    for (QLabel* label : {title, m_hint}) {
        label->setAlignment(Qt::AlignCenter);
        label->setWordWrap(true);
        column->addWidget(label);
    }
    GradientButton::Look look;
    look.color = SheetStyle::blue;
    look.diagonal = false;
    look.cornerRadius = 10;
    look.height = 30;
    m_retry = new GradientButton(text(QT_TRANSLATE_NOOP("RegionsLoadFailedPanel", "Retry")), look, this);
    m_retry->setObjectName(QStringLiteral("regionsRetryButton"));
    m_retry->setFixedWidth(120);
    column->addWidget(m_retry, 0, Qt::AlignHCenter);
    column->addStretch(1);

    connect(m_retry, &QAbstractButton::clicked, this, [this] {
        if (m_ctrl) {
            // Off until the answer is in; a failure publishes again and brings it back.
            m_retry->setEnabled(false);
            m_ctrl->loadRegions();
            // The plan text failed with the regions (both come from the same backend).
            m_ctrl->showCurrentSubscription();
        }
    });
    if (auto* box = qobject_cast<QBoxLayout*>(list->parentWidget()->layout())) {
        box->insertWidget(box->indexOf(list) + 1, this, 1);
    }
    connect(&ctrl, &ObservableObject::objectWillChange, this, [this] { m_redraw.schedule(); });
    render();
}

void RegionsLoadFailedPanel::render()
{
    const bool failed = m_ctrl && m_ctrl->regionsLoadFailed() && m_ctrl->regions().empty();
    setVisible(failed);
    if (m_ctrl) {
        // Held back by a locked keyring, not by the network: they load by themselves at the unlock.
        const bool locked = failed && Preferences::isLocked(Preferences::Keys::token);
        m_hint->setText(locked ? text(QT_TRANSLATE_NOOP("RegionsLoadFailedPanel",
                                                        "Your keyring is locked. They load once you unlock it."))
                               : QCoreApplication::translate("Client",
                                                             Client::failureSentence(m_ctrl->regionsLoadFailure())));
    }
    if (m_list) {
        m_list->setVisible(!failed);
    }
    m_retry->setEnabled(true);
}

}  // namespace tandrel

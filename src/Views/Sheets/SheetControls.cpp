#include "Views/Sheets/SheetControls.h"

#include "Views/Kit/Assets.h"

#include <QEnterEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>

namespace tandrel {
namespace {

const QColor kGray(142, 142, 147);
constexpr int kCloseSymbolSide = 20;
constexpr int kHoverAnimationMs = 200;
constexpr int kPressAnimationMs = 100;

void scaleAboutCentre(QPainter& painter, const QRectF& rect, qreal scale)
{
    painter.translate(rect.center());
    painter.scale(scale, scale);
    painter.translate(-rect.center());
}

}  // namespace

SheetCloseButton::SheetCloseButton(qreal hoverOpacity, QWidget* parent)
    : QAbstractButton(parent), m_hoverOpacity(hoverOpacity), m_animation(new QVariantAnimation(this))
{
    setCursor(Qt::PointingHandCursor);
    // Reached with Tab like any button, so the sheet closes without a pointer too.
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
    m_animation->setDuration(kHoverAnimationMs);
    m_animation->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_progress = value.toReal();
        m_scale = 1.0 + m_hoverScale * m_progress;
        update();
    });
}

void SheetCloseButton::setStatic()
{
    m_restOpacity = 1.0;
    m_hoverOpacity = 1.0;
    m_hoverScale = 0.0;
    update();
}

void SheetCloseButton::setHovered(bool hovered)
{
    m_hovered = hovered;
    m_animation->stop();
    m_animation->setStartValue(m_progress);
    m_animation->setEndValue(hovered ? 1.0 : 0.0);
    m_animation->start();
}

void SheetCloseButton::enterEvent(QEnterEvent* event)
{
    QAbstractButton::enterEvent(event);
    setHovered(true);
}

void SheetCloseButton::leaveEvent(QEvent* event)
{
    QAbstractButton::leaveEvent(event);
    setHovered(false);
}

void SheetCloseButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF symbolRect((width() - kCloseSymbolSide) / 2.0, (height() - kCloseSymbolSide) / 2.0, kCloseSymbolSide,
                            kCloseSymbolSide);
    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.drawEllipse(symbolRect.adjusted(-2, -2, 2, 2));
    }
    scaleAboutCentre(painter, symbolRect, m_scale);
    painter.setOpacity(symbolOpacity());
    Assets::systemSymbol(QStringLiteral("xmark.circle.fill"), kGray).paint(&painter, symbolRect.toRect());
}

GradientButton::GradientButton(const QString& text, Look look, QWidget* parent)
    : QAbstractButton(parent), m_look(std::move(look)), m_animation(new QVariantAnimation(this))
{
    setText(text);
    setAccessibleName(text);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    QFont buttonFont = font();
    buttonFont.setPixelSize(m_look.fontPixelSize);
    buttonFont.setWeight(m_look.fontWeight);
    setFont(buttonFont);
    setFixedHeight(m_look.height + 6);  // room for the shadow below
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_animation->setDuration(m_look.scaleOnHover ? kHoverAnimationMs : kPressAnimationMs);
    m_animation->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_scale = value.toReal();
        update();
    });
}

void GradientButton::setLook(const Look& look)
{
    m_look = look;
    updateGeometry();
    update();
}

QSize GradientButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    const int symbolWidth = m_look.symbol.isEmpty() ? 0 : metrics.height() + 8;
    return {metrics.horizontalAdvance(text()) + symbolWidth + 40, m_look.height + 6};
}

void GradientButton::setShrunk(bool shrunk)
{
    m_animation->stop();
    m_animation->setStartValue(m_scale);
    m_animation->setEndValue(shrunk ? 0.95 : 1.0);
    m_animation->start();
}

void GradientButton::mousePressEvent(QMouseEvent* event)
{
    QAbstractButton::mousePressEvent(event);
    if (event->button() == Qt::LeftButton) {
        m_held = true;
        if (!m_look.scaleOnHover) {
            setShrunk(true);
        }
    }
}

void GradientButton::mouseReleaseEvent(QMouseEvent* event)
{
    const bool wasHeld = m_held;
    m_held = false;
    if (wasHeld && !m_look.scaleOnHover) {
        setShrunk(false);
    }
    QAbstractButton::mouseReleaseEvent(event);
}

void GradientButton::enterEvent(QEnterEvent* event)
{
    QAbstractButton::enterEvent(event);
    Q_EMIT hoverChanged(true);
    if (m_look.scaleOnHover) {
        setShrunk(true);
    }
}

void GradientButton::leaveEvent(QEvent* event)
{
    QAbstractButton::leaveEvent(event);
    Q_EMIT hoverChanged(false);
    if (m_look.scaleOnHover) {
        setShrunk(false);
    }
}

void GradientButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) {
        painter.setOpacity(m_look.disabledOpacity);
    }
    const QRectF shape(3, 1, width() - 6, m_look.height);
    scaleAboutCentre(painter, shape, m_scale);

    QPainterPath path;
    path.addRoundedRect(shape, m_look.cornerRadius, m_look.cornerRadius);
    for (int blur = 3; blur >= 1; --blur) {
        painter.fillPath(path.translated(0, 2 + blur / 2.0), QColor(0, 0, 0, 14));
    }
    QColor top = m_look.color;
    top.setAlphaF(m_look.topOpacity);
    QColor bottom = m_look.color;
    bottom.setAlphaF(m_look.bottomOpacity);
    // The fill fades over the button's own white backing, not over what lies behind it.
    painter.fillPath(path, Qt::white);
    QLinearGradient gradient(m_look.diagonal ? shape.topLeft() : QPointF(shape.center().x(), shape.top()),
                             m_look.diagonal ? shape.bottomRight() : QPointF(shape.center().x(), shape.bottom()));
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    painter.fillPath(path, gradient);

    const QFontMetrics metrics(font());
    const int symbolSide = m_look.symbol.isEmpty() ? 0 : metrics.height();
    const int textWidth = metrics.horizontalAdvance(text());
    const int spacing = m_look.symbol.isEmpty() ? 0 : 8;
    const qreal contentWidth = textWidth + spacing + symbolSide;
    qreal x = shape.center().x() - contentWidth / 2;
    const qreal centreY = shape.center().y();
    const QIcon symbol = Assets::systemSymbol(m_look.symbol, Qt::white);
    painter.setPen(Qt::white);
    auto drawSymbol = [&] {
        symbol.paint(&painter, QRect(qRound(x), qRound(centreY - symbolSide / 2.0), symbolSide, symbolSide));
        x += symbolSide + spacing;
    };
    auto drawText = [&] {
        painter.drawText(QRectF(x, shape.top(), textWidth + 1, shape.height()), Qt::AlignVCenter | Qt::AlignLeft,
                         text());
        x += textWidth + spacing;
    };
    if (m_look.symbolFirst) {
        drawSymbol();
        drawText();
    } else {
        drawText();
        drawSymbol();
    }
    if (hasFocus()) {
        painter.setPen(QPen(QColor(255, 255, 255, 160), 1, Qt::DotLine));
        painter.drawPath(QPainterPath(path).translated(0, 0));
    }
}

}  // namespace tandrel

#include "Views/Sheets/SheetStyle.h"

#include "Views/Kit/Assets.h"

#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QVariantAnimation>

namespace tandrel {

namespace SheetStyle {

QFont systemFont(int pixelSize, QFont::Weight weight)
{
    QFont font;
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont font(TextStyle style)
{
    switch (style) {
        case TextStyle::title2:
            return systemFont(22, QFont::Bold);
        case TextStyle::headline:
            return systemFont(15, QFont::DemiBold);
        case TextStyle::body:
            return systemFont(14);
        case TextStyle::subheadline:
            return systemFont(13);
        case TextStyle::footnote:
            return systemFont(12);
    }
    return systemFont(14);
}

QColor withAlpha(QColor color, qreal opacity)
{
    color.setAlphaF(color.alphaF() * opacity);
    return color;
}

void setTextColor(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

void setSheetBackground(QWidget* sheet)
{
    QPalette palette = sheet->palette();
    palette.setColor(QPalette::Window, QColor(246, 246, 246));
    palette.setColor(QPalette::WindowText, Qt::black);
    sheet->setPalette(palette);
    sheet->setAutoFillBackground(true);
}

QLabel* label(const QString& text, const QFont& font, const QColor& color, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    setTextColor(label, color);
    return label;
}

QString formatted(const QString& pattern, const QStringList& values)
{
    static const QRegularExpression specifier(QStringLiteral("%@|%lld"));
    QString result;
    qsizetype from = 0;
    qsizetype next = 0;
    QRegularExpressionMatchIterator matches = specifier.globalMatch(pattern);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        result += pattern.mid(from, match.capturedStart() - from);
        result += next < values.size() ? values.at(next++) : match.captured();
        from = match.capturedEnd();
    }
    result += pattern.mid(from);
    return result;
}

void paintShadow(QPainter& painter, const QRectF& shape, qreal radius, qreal opacity, int blur, QPointF offset)
{
    painter.save();
    painter.setPen(Qt::NoPen);
    for (int step = blur; step >= 1; --step) {
        const qreal spread = step * 0.75;
        QPainterPath path;
        path.addRoundedRect(shape.translated(offset).adjusted(-spread, -spread, spread, spread), radius + spread,
                            radius + spread);
        painter.setBrush(QColor(0, 0, 0, static_cast<int>(255 * opacity / blur)));
        painter.drawPath(path);
    }
    painter.restore();
}

}  // namespace SheetStyle

void NextTurnRedraw::schedule()
{
    if (m_pending) {
        return;
    }
    m_pending = true;
    QMetaObject::invokeMethod(
        m_owner,
        [this] {
            m_pending = false;
            m_redraw();
        },
        Qt::QueuedConnection);
}

SymbolLabel::SymbolLabel(const QString& symbol, const QColor& tint, int side, QWidget* parent)
    : QLabel(parent), m_symbol(symbol), m_tint(tint), m_side(side)
{
    setFixedSize(side, side);
    setAlignment(Qt::AlignCenter);
    refresh();
}

void SymbolLabel::setSymbol(const QString& symbol)
{
    m_symbol = symbol;
    refresh();
}

void SymbolLabel::refresh()
{
    setProperty("symbol", m_symbol);
    setPixmap(Assets::systemSymbol(m_symbol, m_tint).pixmap(QSize(m_side, m_side), devicePixelRatioF()));
}

ActivityIndicator::ActivityIndicator(const QColor& tint, QWidget* parent)
    : QWidget(parent), m_tint(tint), m_rotation(new QVariantAnimation(this))
{
    setFixedSize(sizeHint());
    m_rotation->setStartValue(0.0);
    m_rotation->setEndValue(360.0);
    m_rotation->setDuration(1000);
    m_rotation->setLoopCount(-1);
    connect(m_rotation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_angle = value.toReal();
        update();
    });
}

void ActivityIndicator::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF ring = QRectF(rect()).adjusted(3, 3, -3, -3);
    painter.setPen(QPen(SheetStyle::withAlpha(m_tint, 0.2), 3));
    painter.drawEllipse(ring);
    painter.setPen(QPen(m_tint, 3, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(ring, qRound(-m_angle * 16), 100 * 16);
}

void ActivityIndicator::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_rotation->start();
}

void ActivityIndicator::hideEvent(QHideEvent* event)
{
    m_rotation->stop();
    QWidget::hideEvent(event);
}

}  // namespace tandrel

#include "Views/Kit/LinkButton.h"

#include <QPainter>

namespace tandrel {

LinkButton::LinkButton(const QString& text, const QColor& textColor, QWidget* parent)
    : QAbstractButton(parent), m_textColor(textColor)
{
    setText(text);
    setAccessibleName(text);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

QSize LinkButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 2, metrics.height() + 3};
}

void LinkButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QFontMetrics metrics(font());
    QColor color = m_textColor;
    if (isDown()) {
        color = color.darker(140);
    }
    painter.setPen(color);
    painter.drawText(QPoint(1, metrics.ascent()), text());
    // The underline is black whatever the text's colour.
    painter.setPen(QPen(Qt::black, 1));
    const int y = metrics.ascent() + 2;
    painter.drawLine(QPoint(1, y), QPoint(1 + metrics.horizontalAdvance(text()), y));
    if (hasFocus()) {
        painter.setPen(QPen(QColor(0, 122, 255, 120), 1, Qt::DotLine));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

}  // namespace tandrel

#pragma once

#include <QAbstractButton>
#include <QColor>

namespace tandrel {

// A text button drawn as a link: the text in its own colour, underlined in black.
class LinkButton : public QAbstractButton {
    Q_OBJECT
public:
    LinkButton(const QString& text, const QColor& textColor, QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_textColor;
};

}  // namespace tandrel

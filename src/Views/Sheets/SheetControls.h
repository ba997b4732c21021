#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QString>

class QVariantAnimation;

namespace tandrel {

// The round close symbol in a sheet's header: gray at half opacity, brighter and a little
// larger while the pointer is over it, the change eased over 0.2 s.
class SheetCloseButton : public QAbstractButton {
    Q_OBJECT
public:
    // `hoverOpacity`: the symbol's opacity while hovered (at rest it is 0.5).
    explicit SheetCloseButton(qreal hoverOpacity, QWidget* parent = nullptr);
    // A close symbol that stays as it is under the pointer, fully opaque.
    void setStatic();

    QSize sizeHint() const override { return {26, 26}; }
    bool isHovered() const { return m_hovered; }
    // The current drawing scale (1.0 at rest, 1.1 while hovered, once the animation ends).
    qreal scale() const { return m_scale; }
    // The symbol's current opacity (0.5 at rest, the hover opacity while hovered).
    qreal symbolOpacity() const { return m_restOpacity + (m_hoverOpacity - m_restOpacity) * m_progress; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void setHovered(bool hovered);

    qreal m_hoverOpacity;
    qreal m_restOpacity = 0.5;
    qreal m_hoverScale = 0.1;
    bool m_hovered = false;
    qreal m_progress = 0.0;  // 0 at rest, 1 fully hovered
    qreal m_scale = 1.0;
    QVariantAnimation* m_animation;
};

// A wide action button: a rounded rectangle filled with a diagonal gradient of one colour,
// white text with a symbol, shrinking to 0.95 while held down (eased over 0.1 s). Holding
// counts from the press to the release wherever the pointer goes in between.
class GradientButton : public QAbstractButton {
    Q_OBJECT
public:
    struct Look {
        QColor color;
        qreal topOpacity = 1.0;
        qreal bottomOpacity = 0.8;
        int cornerRadius = 12;
        int height = 40;
        int fontPixelSize = 14;
        QFont::Weight fontWeight = QFont::DemiBold;
        QString symbol;
        bool symbolFirst = true;
        // Shrinks while the pointer is over it instead of while held.
        bool scaleOnHover = false;
        // Top-leading to bottom-trailing, or else top to bottom.
        bool diagonal = true;
        qreal disabledOpacity = 1.0;
    };

    GradientButton(const QString& text, Look look, QWidget* parent = nullptr);

    const Look& look() const { return m_look; }
    // Changes colours or symbol in place (a hover look, a list switch's direction).
    void setLook(const Look& look);

    QSize sizeHint() const override;
    bool isHeld() const { return m_held; }
    qreal scale() const { return m_scale; }

Q_SIGNALS:
    void hoverChanged(bool hovered);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void setShrunk(bool shrunk);

    Look m_look;
    bool m_held = false;
    qreal m_scale = 1.0;
    QVariantAnimation* m_animation;
};

}  // namespace tandrel

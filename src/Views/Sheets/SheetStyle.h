#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QWidget>

#include <functional>

class QPainter;
class QVariantAnimation;

namespace tandrel {

// Colours and text styles the account sheets share, close to the desktop's system ones.
namespace SheetStyle {
inline const QColor blue{0, 122, 255};
inline const QColor gray{142, 142, 147};
inline const QColor red{255, 59, 48};
inline const QColor green{52, 199, 89};
inline const QColor secondary{60, 60, 67, 153};

enum class TextStyle { title2, headline, body, subheadline, footnote };
QFont font(TextStyle style);
// A system font of this pixel size and weight.
QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal);
QColor withAlpha(QColor color, qreal opacity);
// A label's colour through its palette (style sheets would hide it from tests and themes).
void setTextColor(QWidget* widget, const QColor& color);
// The light gray ground and black text of the account sheets (pricing, manage devices).
void setSheetBackground(QWidget* sheet);
// A plain-text label in this font and colour.
QLabel* label(const QString& text, const QFont& font, const QColor& color, QWidget* parent);
// A looked-up pattern with its values put in, in order, one per "%@" or "%lld". The values
// are shown as they are: a value that itself holds a specifier is not filled in again.
QString formatted(const QString& pattern, const QStringList& values);
// A soft black shadow under a rounded shape: a few widening, fading outlines.
void paintShadow(QPainter& painter, const QRectF& shape, qreal radius, qreal opacity, int blur, QPointF offset);
}  // namespace SheetStyle

// Coalesces a screen's redraw requests into one redraw on the next turn of the event loop,
// after the published values it reads have taken their new values. Dropped with its owner.
class NextTurnRedraw {
public:
    NextTurnRedraw(QObject* owner, std::function<void()> redraw) : m_owner(owner), m_redraw(std::move(redraw)) {}
    void schedule();

private:
    QObject* m_owner;
    std::function<void()> m_redraw;
    bool m_pending = false;
};

// A label showing one system symbol at a fixed side, tinted. The symbol's name is kept in
// the "symbol" property, so what is shown can be checked.
class SymbolLabel : public QLabel {
    Q_OBJECT
public:
    SymbolLabel(const QString& symbol, const QColor& tint, int side, QWidget* parent = nullptr);
    void setSymbol(const QString& symbol);
    QString symbol() const { return m_symbol; }

private:
    void refresh();

    QString m_symbol;
    QColor m_tint;
    int m_side;
};

// A circular, spinning progress indicator in one tint; it turns only while visible.
class ActivityIndicator : public QWidget {
    Q_OBJECT
public:
    ActivityIndicator(const QColor& tint, QWidget* parent = nullptr);

    QSize sizeHint() const override { return {24, 24}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QColor m_tint;
    QVariantAnimation* m_rotation;
    qreal m_angle = 0;
};

}  // namespace tandrel

#pragma once

#include <QAbstractItemDelegate>
#include <QColor>
#include <QElapsedTimer>
#include <QFont>
#include <QFontMetrics>
#include <QHash>
#include <QPixmap>
#include <QTimer>

#include <array>
#include <optional>
#include <utility>
#include <vector>

class QAbstractItemView;

namespace tandrel {

class VPNRegionListModel;

// Paints one row of the region list (a VPNRegionListModel's): the flag, a divider, the
// country name over the city, and the check mark of the current region, on a rounded
// background that is blue while selected, a darker gray while hovered (and slightly
// larger), else a light gray. Hover and selection ease in and out over 0.2 s. Rows are
// painted only while in view; flags are rendered once per country.
class VPNRegionRow : public QAbstractItemDelegate {
    Q_OBJECT
public:
    // Around each row's rounded background: 16 left and right, half the rows' spacing of
    // 8 above and below.
    static constexpr int horizontalMargin = 16;
    static constexpr int verticalMargin = 4;

    explicit VPNRegionRow(QAbstractItemView* view);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The height of a row when selected and when not: measured once per region, width and
    // state, so a selection or a search lays rows out without measuring their names again.
    int rowHeight(const VPNRegionListModel& model, int row, bool selected) const;

    // The row's rounded background within its item rectangle: where it answers a click.
    static QRect backgroundRect(const QRect& itemRect);

    // A row by its region's id and that id's occurrence in the list (VPNRegionListModel::Row):
    // the optimal entry and its region's own row share the id, not the pointer.
    using RowKey = std::pair<qint64, int>;

    // The row under the pointer and the current region (every row of it); each change
    // eases the rows' look.
    void setHoveredRow(std::optional<RowKey> row);
    void setSelectedRegion(std::optional<qint64> regionId);
    // Whether the keyboard moved the list last: then the row with the focus is outlined.
    void setShowsFocus(bool shows);

    // The flag of a lower-case country code, 40 by 40 with its shadow, rendered once;
    // null when there is no flag of that code.
    static QPixmap flag(const QString& countryCode, qreal devicePixelRatio);

private:
    struct Look {
        QColor tint;
        qreal scale = 1.0;
    };
    struct Easing {
        Look from;
        qint64 startedAt = 0;
    };

    static Look settledLook(bool selected, bool hovered);
    Look lookOf(const RowKey& row) const;
    // Starts an ease from the look the row shows now, before its state changes.
    void startEasing(const RowKey& row);
    void nextFrame();
    // The height of a name (the country's, else the city's) wrapped between words into
    // `width`. Its width on one line is measured once per distinct name: most names fit on
    // a line at any width, and need no more.
    int textHeight(bool country, const QString& text, int width) const;
    int namesWidth(int rowWidth, bool selected) const;

    // Row heights by the region's place in the model's list, [not selected, selected]; 0
    // where not measured yet. For the last few widths, since the scroll bar comes and goes.
    struct Heights {
        int width = 0;
        std::vector<std::array<int, 2>> heights;
    };
    mutable std::vector<Heights> m_heights;
    mutable quint64 m_heightsGeneration = 0;
    mutable QHash<QString, int> m_lineWidths[2];  // [country, city]

    QAbstractItemView* m_view;
    QFont m_countryFont;
    QFont m_cityFont;
    QFontMetrics m_countryMetrics;
    QFontMetrics m_cityMetrics;
    std::optional<RowKey> m_hovered;
    std::optional<qint64> m_selected;
    bool m_showsFocus = false;
    mutable QHash<RowKey, Easing> m_looks;
    QElapsedTimer m_clock;
    QTimer m_frames;
};

}  // namespace tandrel

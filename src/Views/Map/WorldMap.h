#pragma once

#include "Views/Map/LandShapes.h"
#include "Views/Map/MapCoordinate.h"
#include "Views/Map/MapViewport.h"

#include <QCache>
#include <QColor>
#include <QFont>
#include <QFontMetricsF>
#include <QHash>
#include <QPixmap>
#include <QPoint>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class QTimer;
class QVariantAnimation;

namespace tandrel {

// A pin on the map: a balloon in its tint whose tip stands on the coordinate, with an
// optional system symbol inside and an optional title below, identified by its tag.
struct MapMarker {
    MapCoordinate coordinate;
    QString title;         // shown as it is; empty for none
    QString systemSymbol;  // a system symbol name ("checkmark.shield.fill"); empty for none
    QColor tint;
    qint64 tag = 0;
    bool raised = false;  // drawn over its neighbours (the current region's marker)

    bool operator==(const MapMarker&) const = default;
};

// Our world map: Natural Earth land on a Web Mercator ocean, markers, a camera given as a
// coordinate region (moved with or without animation), the user's pan (drag), zoom (wheel,
// double click) and marker selection by a click. Without land data it draws the ocean, a
// note that the map data is missing, and the markers all the same.
class WorldMap : public QWidget {
    Q_OBJECT
public:
    explicit WorldMap(QWidget* parent = nullptr);
    ~WorldMap() override;

    // The camera: the region last set, or the one the user's pan or zoom left in view.
    // Setting it fits the whole region into the view; an animated move glides there while
    // camera() already answers the destination.
    MapCoordinateRegion camera() const { return m_camera; }
    void setCamera(const MapCoordinateRegion& region, bool animated = false);
    bool isAnimating() const;

    const std::vector<MapMarker>& markers() const { return m_markers; }
    void setMarkers(std::vector<MapMarker> markers);

    // The selected marker's tag. A click on a marker selects it and a click on open map
    // clears the selection, while selection is enabled.
    std::optional<qint64> selection() const { return m_selection; }
    void setSelection(std::optional<qint64> tag);
    void setSelectionEnabled(bool enabled);

    // The land to draw, and a coarser one for views of the whole world (none: the land
    // itself); a null land draws the ocean alone. Starts with the bundled world.
    void setLandShapes(std::shared_ptr<const LandShapes> land, std::shared_ptr<const LandShapes> overview = {});
    bool hasMapData() const { return m_land != nullptr; }

    // Where the coordinate stands in the widget now (during a move, where it is drawn),
    // on the copy of the world nearest the centre of the view.
    QPointF screenPosition(MapCoordinate coordinate) const;
    // The topmost marker whose balloon or tip covers the point (give or take two pixels).
    std::optional<qint64> markerAt(QPointF point) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    struct PlacedMarker {
        const MapMarker* marker;
        QPointF tip;
        bool selected;
    };

    QSizeF viewSize() const;
    void stopAnimation();
    // Sets what is drawn after the user moved the map; the camera follows the view.
    void showUserViewport(const MapViewport& viewport);
    void zoomAround(QPointF anchor, double factor);
    // Every marker with the screen positions of its copies in view, in drawing order;
    // worked out again only when the view, the markers or the selection changed.
    const std::vector<PlacedMarker>& placedMarkers() const;
    void paintLand(class QPainter& painter) const;
    void paintTitles(class QPainter& painter, const std::vector<PlacedMarker>& placed) const;
    // The balloon of a marker's look, with its shadow, rendered once; `anchor` is where
    // the tip stands in it.
    const QPixmap& markerPicture(std::size_t index, bool selected, QPointF& anchor) const;
    // A title with its halo, rendered once and kept while the cache has room; null when it
    // cannot be kept.
    const QPixmap* titlePicture(int title, bool bold, double width, qreal ratio) const;
    // A title's width in its font, measured the first time it is asked for.
    double titleWidth(int title, bool bold) const;
    // Files the markers' titles and looks by their distinct values, once per list.
    void fileMarkers();
    void endResize();

    std::shared_ptr<const LandShapes> m_land;
    std::shared_ptr<const LandShapes> m_overviewLand;
    std::vector<MapMarker> m_markers;
    // Each marker's place on the Mercator unit square, x within 0…1 (NaN where the
    // coordinate is no number): projected once per set of markers.
    std::vector<QPointF> m_worldPoints;

    // What the last paint and pointer move worked out, kept while it still holds.
    struct PlacementKey {
        MapViewport viewport;
        QSizeF size;
        std::optional<qint64> selection;
        quint64 markersGeneration = 0;
        bool operator==(const PlacementKey& other) const
        {
            return viewport.center == other.viewport.center && viewport.scale == other.viewport.scale &&
                   size == other.size && selection == other.selection && markersGeneration == other.markersGeneration;
        }
    };
    quint64 m_markersGeneration = 0;
    quint64 m_landGeneration = 0;
    mutable std::optional<PlacementKey> m_placedFor;
    mutable std::vector<PlacedMarker> m_placed;
    // A marker's look: its tint and symbol. Each marker has its look's index, and each look
    // its balloons (plain and selected) rendered once for the screen's pixel ratio.
    struct MarkerLook {
        QRgb tint;
        QString systemSymbol;
        QPixmap pictures[2];
        QPointF anchors[2];
    };
    mutable std::vector<MarkerLook> m_looks;
    std::vector<int> m_lookOfMarker;
    mutable qreal m_looksRatio = 0;
    // The distinct titles, each with its widths (regular and bold, NaN until measured);
    // each marker has its title's index. Kept across lists while they stay few.
    struct Title {
        QString text;
        double widths[2];
    };
    mutable std::vector<Title> m_titles;
    QHash<QString, int> m_titleIndex;
    std::vector<int> m_titleOfMarker;
    // Titles with their white halo, by title index and weight; bounded, since a world of
    // cities has many.
    mutable QCache<quint64, QPixmap> m_titlePictures;
    mutable qreal m_titlesRatio = 0;
    mutable QPixmap m_landPicture;
    mutable std::optional<PlacementKey> m_landFor;
    // While the view's size keeps changing (a window resize or its animation), the land
    // last drawn is stretched to the new view; it is drawn anew once the size holds.
    bool m_resizing = false;
    QTimer* m_resizeSettle = nullptr;
    QFont m_titleFont;
    QFont m_selectedTitleFont;
    QFontMetricsF m_titleMetrics;
    QFontMetricsF m_selectedTitleMetrics;
    std::optional<qint64> m_selection;
    bool m_selectionEnabled = true;

    MapCoordinateRegion m_camera;
    MapViewport m_viewport;  // what is drawn
    MapViewport m_animationStart;
    MapViewport m_animationTarget;
    QVariantAnimation* m_animation;
    // While the user has not moved the map since the camera was set, a resize fits the
    // camera's region again; afterwards it keeps the centre and the zoom.
    bool m_cameraFollowsRegion = true;

    std::optional<QPointF> m_pressPosition;
    QPointF m_lastDragPosition;
    bool m_dragging = false;
};

}  // namespace tandrel

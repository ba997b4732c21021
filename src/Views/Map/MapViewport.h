#pragma once

#include "Views/Map/MapCoordinate.h"

#include <QPointF>
#include <QSizeF>

namespace tandrel {

// What the map shows on screen: a centre on the Mercator unit square and a scale in
// pixels per world (the square's side). Pure geometry, so the camera rules are testable
// without a widget.
struct MapViewport {
    QPointF center{0.5, 0.5};
    double scale = 256;

    // The deepest zoom, about 1.2 km to the pixel at the equator: the land data (Natural
    // Earth 1:50m) holds no detail worth showing beyond it, and deeper the map would show
    // nothing but one colour.
    static constexpr double maximumScale = 1 << 15;
    // The widest view: the world fills the height of the view, and repeats east and west.
    static double minimumScale(QSizeF size);

    // The viewport centred on the region's centre that shows all of the region in `size`.
    static MapViewport fitting(const MapCoordinateRegion& region, QSizeF size);
    // The region this viewport shows in `size`.
    MapCoordinateRegion region(QSizeF size) const;
    // Within the zoom limits, inside the projection's northern and southern edges, and
    // with the centre's x wrapped into 0…1.
    MapViewport clamped(QSizeF size) const;
    // A point of the unit square on screen, and back, for a view of `size`.
    QPointF toScreen(QPointF world, QSizeF size) const;
    QPointF toWorld(QPointF screen, QSizeF size) const;
    // The step at `progress` (0…1) of a move to `target`: the centre goes the shorter way
    // round the globe, the scale changes geometrically, so a zoom feels even.
    MapViewport interpolated(const MapViewport& target, double progress) const;
};

}  // namespace tandrel

#pragma once

#include "Views/Map/MapCoordinate.h"

#include <QByteArray>
#include <QPainterPath>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace tandrel {

// The land areas of the world map: polygons of rings in degrees (first ring the outline,
// later rings its holes), read from a TopoJSON topology such as Natural Earth's.
class LandShapes {
public:
    using Ring = std::vector<MapCoordinate>;
    using Polygon = std::vector<Ring>;
    // One polygon on the Mercator unit square, holes left open by the odd-even rule, with
    // its bounds so that a view can skip what it does not show.
    struct Piece {
        QPainterPath path;
        QRectF bounds;
    };
    // Natural Earth's scales: 1:110m for a view of the whole world, 1:50m closer in.
    enum class Detail { overview, full };

    // The polygons of the named object of a TopoJSON topology (Polygon, MultiPolygon and
    // geometry collections of them; other geometries are skipped). Quantized topologies
    // are decoded with their transform. Nothing when the text is not such a topology or
    // refers to arcs it does not hold.
    static std::optional<LandShapes> fromTopoJSON(const QByteArray& data, const QString& objectName);

    // The bundled Natural Earth land, read once; null when the build carries no map data.
    static std::shared_ptr<const LandShapes> world(Detail detail = Detail::full);

    const std::vector<Polygon>& polygons() const { return m_polygons; }
    const std::vector<Piece>& mercatorPieces() const { return m_pieces; }
    // Whether a point of the Mercator unit square lies on land.
    bool contains(QPointF mercatorPoint) const;

private:
    explicit LandShapes(std::vector<Polygon> polygons);

    std::vector<Polygon> m_polygons;
    std::vector<Piece> m_pieces;
};

}  // namespace tandrel

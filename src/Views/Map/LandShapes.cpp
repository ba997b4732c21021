#include "Views/Map/LandShapes.h"

#include "Platform/MainQueue.h"

#include <QFile>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace tandrel {

namespace {

using nlohmann::json;
using Arc = std::vector<MapCoordinate>;

// Thrown inside the decoder for a topology that contradicts itself; never escapes it.
struct MalformedTopology {};

std::vector<Arc> decodeArcs(const json& topology)
{
    double scaleX = 1, scaleY = 1, translateX = 0, translateY = 0;
    const bool quantized = topology.contains("transform");
    if (quantized) {
        const json& transform = topology.at("transform");
        scaleX = transform.at("scale").at(0).get<double>();
        scaleY = transform.at("scale").at(1).get<double>();
        translateX = transform.at("translate").at(0).get<double>();
        translateY = transform.at("translate").at(1).get<double>();
    }
    std::vector<Arc> arcs;
    for (const json& positions : topology.at("arcs")) {
        Arc arc;
        arc.reserve(positions.size());
        // Quantized arcs hold the first position and then differences to the previous one.
        double x = 0, y = 0;
        for (const json& position : positions) {
            const double px = position.at(0).get<double>();
            const double py = position.at(1).get<double>();
            if (quantized) {
                x += px;
                y += py;
                arc.push_back({y * scaleY + translateY, x * scaleX + translateX});
            } else {
                arc.push_back({py, px});
            }
        }
        arcs.push_back(std::move(arc));
    }
    return arcs;
}

LandShapes::Ring decodeRing(const json& arcIndexes, const std::vector<Arc>& arcs)
{
    LandShapes::Ring ring;
    for (const json& value : arcIndexes) {
        const auto index = value.get<std::int64_t>();
        // A negative index ~i names arc i walked backwards.
        const std::int64_t arcIndex = index >= 0 ? index : ~index;
        if (arcIndex >= static_cast<std::int64_t>(arcs.size())) {
            throw MalformedTopology{};
        }
        Arc arc = arcs[static_cast<std::size_t>(arcIndex)];
        if (index < 0) {
            std::reverse(arc.begin(), arc.end());
        }
        // Consecutive arcs share their meeting point.
        const auto skip = ring.empty() || arc.empty() ? 0 : 1;
        ring.insert(ring.end(), arc.begin() + skip, arc.end());
    }
    return ring;
}

void decodeGeometry(const json& geometry, const std::vector<Arc>& arcs, std::vector<LandShapes::Polygon>& out,
                    int depth = 0)
{
    if (depth > 32) {
        throw MalformedTopology{};
    }
    const auto type = geometry.at("type").get<std::string>();
    const auto decodePolygon = [&](const json& rings) {
        LandShapes::Polygon polygon;
        for (const json& ring : rings) {
            polygon.push_back(decodeRing(ring, arcs));
        }
        out.push_back(std::move(polygon));
    };
    if (type == "Polygon") {
        decodePolygon(geometry.at("arcs"));
    } else if (type == "MultiPolygon") {
        for (const json& polygon : geometry.at("arcs")) {
            decodePolygon(polygon);
        }
    } else if (type == "GeometryCollection") {
        for (const json& member : geometry.at("geometries")) {
            decodeGeometry(member, arcs, out, depth + 1);
        }
    }
}

}  // namespace

LandShapes::LandShapes(std::vector<Polygon> polygons) : m_polygons(std::move(polygons))
{
    for (const Polygon& polygon : m_polygons) {
        QPainterPath path;
        path.setFillRule(Qt::OddEvenFill);
        for (const Ring& ring : polygon) {
            if (ring.size() < 3) {
                continue;
            }
            // Rings cross the antimeridian as they lie on the sphere (Chukotka, Fiji). Keep
            // each ring's longitudes continuous instead, so it runs on past the world's edge
            // into the next copy of the world rather than back across the whole map.
            std::vector<MapCoordinate> points{ring.front()};
            points.reserve(ring.size() + 2);
            double offset = 0;
            for (std::size_t i = 1; i < ring.size(); ++i) {
                const double step = ring[i].longitude - ring[i - 1].longitude;
                offset += step > 180 ? -360 : step < -180 ? 360 : 0;
                points.push_back({ring[i].latitude, ring[i].longitude + offset});
            }
            // A ring that goes once round the globe encloses a pole (Antarctica): close it
            // along the pole's parallel.
            if (std::abs(offset) >= 360) {
                const double pole = ring.front().latitude < 0 ? -90 : 90;
                points.push_back({pole, points.back().longitude});
                points.push_back({pole, ring.front().longitude});
            }
            // Start every ring within the first world, so that the copy of the world to the
            // west and the one in view together draw all of it.
            const double west = std::min_element(points.begin(), points.end(), [](const auto& a, const auto& b) {
                                    return a.longitude < b.longitude;
                                })->longitude;
            const double shift = west < -180 ? 360 * std::ceil((-180 - west) / 360) : 0;
            path.moveTo(Mercator::project({points.front().latitude, points.front().longitude + shift}));
            for (std::size_t i = 1; i < points.size(); ++i) {
                path.lineTo(Mercator::project({points[i].latitude, points[i].longitude + shift}));
            }
            path.closeSubpath();
        }
        if (!path.isEmpty()) {
            m_pieces.push_back({path, path.boundingRect()});
        }
    }
}

bool LandShapes::contains(QPointF mercatorPoint) const
{
    // Rings start within the first world but may run on into the next one.
    const QPointF point(mercatorPoint.x() - std::floor(mercatorPoint.x()), mercatorPoint.y());
    const auto covers = [](const Piece& piece, QPointF p) {
        return piece.bounds.contains(p) && piece.path.contains(p);
    };
    return std::any_of(m_pieces.begin(), m_pieces.end(), [&](const Piece& piece) {
        return covers(piece, point) || covers(piece, point + QPointF(1, 0));
    });
}

std::optional<LandShapes> LandShapes::fromTopoJSON(const QByteArray& data, const QString& objectName)
{
    const json topology = json::parse(data.constBegin(), data.constEnd(), nullptr, false);
    if (topology.is_discarded()) {
        return std::nullopt;
    }
    try {
        if (topology.at("type") != "Topology") {
            return std::nullopt;
        }
        const std::vector<Arc> arcs = decodeArcs(topology);
        std::vector<Polygon> polygons;
        decodeGeometry(topology.at("objects").at(objectName.toStdString()), arcs, polygons);
        return LandShapes(std::move(polygons));
    } catch (const json::exception&) {
        return std::nullopt;
    } catch (const MalformedTopology&) {
        return std::nullopt;
    }
}

std::shared_ptr<const LandShapes> LandShapes::world(Detail detail)
{
    // Painting asks for the land, on the main thread only, so the cache needs no lock.
    assertMainThread();
    static std::shared_ptr<const LandShapes> loaded[2];
    static bool tried[2] = {false, false};
    const auto index = static_cast<std::size_t>(detail);
    if (!tried[index]) {
        tried[index] = true;
        QFile file(detail == Detail::overview ? QStringLiteral(":/map/land-110m.json")
                                              : QStringLiteral(":/map/land-50m.json"));
        if (file.open(QIODevice::ReadOnly)) {
            if (auto decoded = fromTopoJSON(file.readAll(), QStringLiteral("land"))) {
                loaded[index] = std::make_shared<const LandShapes>(std::move(*decoded));
            }
        }
    }
    return loaded[index];
}

}  // namespace tandrel

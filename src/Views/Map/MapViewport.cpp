#include "Views/Map/MapViewport.h"

#include <algorithm>
#include <cmath>

namespace tandrel {

namespace {
double wrapped(double x)
{
    return x - std::floor(x);
}
}  // namespace

double MapViewport::minimumScale(QSizeF size)
{
    return std::max(size.height(), 1.0);
}

MapViewport MapViewport::fitting(const MapCoordinateRegion& region, QSizeF size)
{
    const QPointF center = Mercator::project(region.center);
    const double width = std::clamp(region.span.longitudeDelta, 0.0, 360.0) / 360.0;
    const double halfLatitude = std::clamp(region.span.latitudeDelta, 0.0, 180.0) / 2;
    const double north = Mercator::project({region.center.latitude + halfLatitude, 0}).y();
    const double south = Mercator::project({region.center.latitude - halfLatitude, 0}).y();
    // The view is centred on the centre, so it must reach the farther of the two edges.
    const double height = 2 * std::max(center.y() - north, south - center.y());

    double scale = maximumScale;
    if (width > 0) {
        scale = std::min(scale, size.width() / width);
    }
    if (height > 0) {
        scale = std::min(scale, size.height() / height);
    }
    return MapViewport{center, scale}.clamped(size);
}

MapCoordinateRegion MapViewport::region(QSizeF size) const
{
    const double halfHeight = size.height() / scale / 2;
    const double north = Mercator::unproject({0, center.y() - halfHeight}).latitude;
    const double south = Mercator::unproject({0, center.y() + halfHeight}).latitude;
    return {Mercator::unproject(center), {north - south, std::min(360.0, size.width() / scale * 360.0)}};
}

MapViewport MapViewport::clamped(QSizeF size) const
{
    MapViewport result = *this;
    if (!std::isfinite(result.scale)) {
        result.scale = minimumScale(size);
    }
    result.scale = std::clamp(result.scale, minimumScale(size), maximumScale);
    const double halfHeight = size.height() / result.scale / 2;
    const double y = std::isfinite(center.y()) ? center.y() : 0.5;
    const double x = std::isfinite(center.x()) ? center.x() : 0.5;
    result.center = {wrapped(x), halfHeight >= 0.5 ? 0.5 : std::clamp(y, halfHeight, 1 - halfHeight)};
    return result;
}

QPointF MapViewport::toScreen(QPointF world, QSizeF size) const
{
    return (world - center) * scale + QPointF(size.width() / 2, size.height() / 2);
}

QPointF MapViewport::toWorld(QPointF screen, QSizeF size) const
{
    return (screen - QPointF(size.width() / 2, size.height() / 2)) / scale + center;
}

MapViewport MapViewport::interpolated(const MapViewport& target, double progress) const
{
    double dx = target.center.x() - center.x();
    dx -= std::round(dx);  // the shorter way round
    const double dy = target.center.y() - center.y();
    return {{wrapped(center.x() + dx * progress), center.y() + dy * progress},
            scale * std::pow(target.scale / scale, progress)};
}

}  // namespace tandrel

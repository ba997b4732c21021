#pragma once

#include "Models/VPNRegion.h"
#include "Platform/Published.h"
#include "Views/Map/MapCoordinate.h"

#include <QColor>
#include <QPointer>
#include <QWidget>

#include <optional>

namespace tandrel {

class TandrelController;
class WorldMap;
struct MapMarker;

// What both forms of the region map share: a world map with one marker per region of the
// controller, redrawn a turn after the controller announces a change, and following every
// value published for `currentRegion` from the first showing on (the value held then
// first) to the region's coordinate, when the region is listed and its coordinate valid.
class RegionMap : public QWidget {
    Q_OBJECT
public:
    static inline const QColor currentTint{0x34, 0xC7, 0x59};
    static inline const QColor otherTint{0x8E, 0x8E, 0x93};

    ~RegionMap() override;

protected:
    RegionMap(TandrelController& ctrl, QWidget* parent);

    // The marker of one region; `isCurrent` when it is the controller's current region.
    virtual MapMarker markerFor(const VPNRegion& region, bool isCurrent) const = 0;
    // Moves to a region that the map can follow.
    virtual void moveTo(qint64 regionId, MapCoordinate coordinate) = 0;

    void showEvent(QShowEvent* event) override;
    // Builds the markers from the controller's state now.
    void redraw();

    WorldMap* map() const { return m_map; }

private:
    void scheduleRedraw();
    void follow(const std::optional<qint64>& regionId);

    QPointer<TandrelController> m_ctrl;
    WorldMap* m_map;
    Cancellable m_currentRegionSubscription;
    bool m_subscribed = false;
    bool m_redrawScheduled = false;
};

}  // namespace tandrel

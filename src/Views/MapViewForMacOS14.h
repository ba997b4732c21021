#pragma once

#include "Platform/Published.h"
#include "Views/MapCoordinate.h"

#include <QPointer>
#include <QWidget>

#include <optional>

namespace tandrel {

class TandrelController;
class WorldMap;

// The region map with a camera and marker selection: one titled marker per region, the
// current region's green with a shield, and the camera gliding to the current region
// whenever the controller publishes one. A click on a marker highlights it on the map only.
class MapViewForMacOS14 : public QWidget {
    Q_OBJECT
public:
    // The first camera: most of the world, centred over Europe.
    static constexpr MapCoordinateRegion initialPosition{{54.0, 15.0}, {180.0, 360.0}};
    // The camera around the current region.
    static constexpr MapCoordinateSpan regionSpan{20.0, 40.0};

    explicit MapViewForMacOS14(TandrelController& ctrl, QWidget* parent = nullptr);
    ~MapViewForMacOS14() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void scheduleRedraw();
    void redraw();
    void follow(const std::optional<qint64>& regionId);

    QPointer<TandrelController> m_ctrl;
    WorldMap* m_map;
    Cancellable m_currentRegionSubscription;
    bool m_subscribed = false;
    bool m_redrawScheduled = false;
};

}  // namespace tandrel

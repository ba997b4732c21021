#include "Views/Map/MapView.h"

#include "Views/Map/MapViewForMacOS14.h"

#include <QVBoxLayout>

namespace tandrel {

MapView::MapView(TandrelController& ctrl, QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("mapView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // Our map widget has the camera, titled markers and selection on every system, so the
    // content is always the camera form; MapViewLegacy stays for a map without them.
    layout->addWidget(new MapViewForMacOS14(ctrl, this));
}

}  // namespace tandrel

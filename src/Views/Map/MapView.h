#pragma once

#include <QWidget>

namespace tandrel {

class TandrelController;

// The region map of the main screen's wide view. Its content is the form with a camera
// and marker selection (MapViewForMacOS14), which our own map widget offers on every system.
class MapView : public QWidget {
    Q_OBJECT
public:
    explicit MapView(TandrelController& ctrl, QWidget* parent = nullptr);
};

}  // namespace tandrel

#pragma once

#include <QObject>

namespace tandrel {

// The application delegate: what runs as the application finishes launching.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Turns automatic window tabbing off and starts crash reporting.
    void applicationWillFinishLaunching();
};

}  // namespace tandrel

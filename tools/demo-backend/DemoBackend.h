#pragma once

#include <QObject>

namespace tandrel::demo {

// The stand-in of the VPN service's backend (placeholder until the routes land).
class DemoBackend : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
};

}  // namespace tandrel::demo

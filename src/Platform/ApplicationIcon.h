#pragma once

#include <QString>

#include <functional>

namespace tandrel::ApplicationIcon {

// Sets the application's icon (the Dock icon elsewhere; the window icon here) to the image
// of the given asset name; an empty name restores the application's own icon. The core
// calls this; the program installs the setter that owns the windows. Without a setter it
// does nothing.
using Setter = std::function<void(const QString& assetName)>;

void set(const QString& assetName);
void setSetter(Setter setter);
// The name last set (empty for the application's own icon), for tests and late windows.
QString current();

}  // namespace tandrel::ApplicationIcon

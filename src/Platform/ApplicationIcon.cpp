#include "Platform/ApplicationIcon.h"

#include <mutex>

namespace tandrel::ApplicationIcon {
namespace {
std::mutex iconLock;
Setter& installedSetter()
{
    static Setter setter;
    return setter;
}
QString& currentName()
{
    static QString name;
    return name;
}
}  // namespace

void set(const QString& assetName)
{
    Setter setter;
    {
        std::lock_guard guard(iconLock);
        currentName() = assetName;
        setter = installedSetter();
    }
    if (setter) {
        setter(assetName);
    }
}

void setSetter(Setter setter)
{
    std::lock_guard guard(iconLock);
    installedSetter() = std::move(setter);
}

QString current()
{
    std::lock_guard guard(iconLock);
    return currentName();
}

}  // namespace tandrel::ApplicationIcon

#pragma once

#include "AssetNames.h"

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace tandrel::Assets {

// The application's asset catalogue, kept in Qt resources.
// An image of our own artwork by name (AssetName::logo, …); a null icon for an unknown name.
QIcon image(const QString& name);
// `image` rendered at `size` device-independent pixels, keeping the aspect ratio.
QPixmap pixmap(const QString& name, const QSize& size, qreal devicePixelRatio = 1.0);
// A colour of the catalogue (AssetName::rightBarColor); invalid for an unknown name.
QColor color(const QString& name);
// A system symbol by its system name ("arrow.right", "eye.fill"), tinted.
QIcon systemSymbol(const QString& name, const QColor& tint = Qt::black);
// A country flag by lower-case ISO code ("de", "us"); a null icon when there is none.
QIcon flag(const QString& countryCode);
// The resource path of a named image, empty when there is none.
QString imagePath(const QString& name);

}  // namespace tandrel::Assets

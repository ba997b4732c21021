#include "Views/Kit/Assets.h"

#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QSvgRenderer>

namespace tandrel::Assets {
namespace {

// Renders an SVG at whatever size is asked, optionally tinted (the symbols are drawn in
// currentColor, which a plain SVG renderer paints black).
class SvgIconEngine : public QIconEngine {
public:
    SvgIconEngine(QString path, std::optional<QColor> tint) : m_path(std::move(path)), m_tint(tint) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap image = pixmap(rect.size() * ratio, mode, state);
        image.setDevicePixelRatio(ratio);
        painter->drawPixmap(rect, image);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override
    {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QSvgRenderer renderer(m_path);
        if (renderer.isValid()) {
            QSizeF fitted = renderer.defaultSize();
            fitted.scale(size, Qt::KeepAspectRatio);
            QPainter painter(&image);
            renderer.render(
                &painter,
                QRectF(QPointF((size.width() - fitted.width()) / 2, (size.height() - fitted.height()) / 2), fitted));
            if (m_tint) {
                QColor tint = *m_tint;
                if (mode == QIcon::Disabled) {
                    tint.setAlphaF(tint.alphaF() * 0.4);
                }
                painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
                painter.fillRect(image.rect(), tint);
            }
        }
        return QPixmap::fromImage(image);
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
    QIconEngine* clone() const override { return new SvgIconEngine(m_path, m_tint); }

private:
    QString m_path;
    std::optional<QColor> m_tint;
};

QIcon svgIcon(const QString& path, std::optional<QColor> tint = std::nullopt)
{
    if (!QFile::exists(path)) {
        return {};
    }
    return QIcon(new SvgIconEngine(path, tint));
}

const QHash<QString, QColor>& colors()
{
    static const QHash<QString, QColor> table = [] {
        QHash<QString, QColor> result;
        QFile file(QStringLiteral(":/assets/colors.json"));
        if (file.open(QIODevice::ReadOnly)) {
            const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
            for (auto it = object.begin(); it != object.end(); ++it) {
                result.insert(it.key(), QColor::fromString(it.value().toString()));
            }
        }
        return result;
    }();
    return table;
}

}  // namespace

QString imagePath(const QString& name)
{
    const QString path = QStringLiteral(":/assets/%1.svg").arg(name);
    return !name.isEmpty() && QFile::exists(path) ? path : QString();
}

QIcon image(const QString& name)
{
    const QString path = imagePath(name);
    return path.isEmpty() ? QIcon() : svgIcon(path);
}

QPixmap pixmap(const QString& name, const QSize& size, qreal devicePixelRatio)
{
    const QIcon icon = image(name);
    if (icon.isNull()) {
        return {};
    }
    // QIcon scales by the ratio itself; scaling the size here as well would draw the image
    // that many times too large in points.
    QPixmap result = icon.pixmap(size, devicePixelRatio);
    result.setDevicePixelRatio(devicePixelRatio);
    return result;
}

QColor color(const QString& name)
{
    return colors().value(name);
}

QIcon systemSymbol(const QString& name, const QColor& tint)
{
    return svgIcon(QStringLiteral(":/symbols/%1.svg").arg(name), tint);
}

QIcon flag(const QString& countryCode)
{
    if (countryCode.isEmpty() || countryCode.contains(QLatin1Char('/'))) {
        return {};
    }
    return svgIcon(QStringLiteral(":/flags/%1.svg").arg(countryCode));
}

}  // namespace tandrel::Assets

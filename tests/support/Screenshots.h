#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QWidget>
#include <QtTest>

namespace tandrel::testing {

// Saves a picture of the widget as TANDREL_SCREENSHOTS/<name>.png for a look by eye (the
// folder lies outside the repository); does nothing when the variable is not set.
inline void saveScreenshot(QWidget* widget, const QString& name)
{
    const QString folder = qEnvironmentVariable("TANDREL_SCREENSHOTS");
    if (folder.isEmpty()) {
        return;
    }
    QDir().mkpath(folder);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QVERIFY(widget->grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
}

}  // namespace tandrel::testing

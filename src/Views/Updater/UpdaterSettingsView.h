#pragma once

#include <QWidget>

class QCheckBox;

namespace tandrel {

class Updater;

// The settings scene's two updater toggles. Each holds its own copy, seeded from the
// updater when the view is made and written back on every change; the second is
// disabled, keeping its value, while automatic checks are off.
class UpdaterSettingsView : public QWidget {
    Q_OBJECT
public:
    explicit UpdaterSettingsView(Updater& updater, QWidget* parent = nullptr);

    QCheckBox* automaticallyChecksToggle() const { return m_checks; }
    QCheckBox* automaticallyDownloadsToggle() const { return m_downloads; }

private:
    Updater& m_updater;
    QCheckBox* m_checks;
    QCheckBox* m_downloads;
};

}  // namespace tandrel

#pragma once

#include "Platform/Updater.h"

#include <QObject>
#include <QPointer>

#include <QMessageBox>

namespace tandrel {

// The updater with its standard user interface: the dialogs that tell the user what a
// check found. Created once at start, before any window, and kept for the whole run.
class StandardUpdaterController : public QObject {
    Q_OBJECT
public:
    StandardUpdaterController(bool startingUpdater, const QUrl& feedUrl, const QString& currentVersion,
                              QObject* parent = nullptr);

    Updater& updater() const { return *m_updater; }
    // The dialog shown last, while it is open (tests look at it).
    QMessageBox* currentDialog() const { return m_dialog; }

private:
    void showUpdateFound(const AppcastItem& item, Updater::CheckKind kind);
    void showUpToDate(const QString& currentVersion, Updater::CheckKind kind);
    void showCheckFailed(const QString& reason, Updater::CheckKind kind);
    void showDownloaded(const AppcastItem& item, const QString& filePath);
    void showDownloadFailed(const AppcastItem& item, const QString& reason);
    QMessageBox* present(const QString& title, const QString& message);

    Updater* m_updater;
    QPointer<QMessageBox> m_dialog;
};

}  // namespace tandrel

#include "Views/Updater/StandardUpdaterController.h"

#include "Platform/Workspace.h"
#include "Views/Kit/Windows.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

namespace tandrel {
StandardUpdaterController::StandardUpdaterController(bool startingUpdater, const QUrl& feedUrl,
                                                     const QString& currentVersion, QObject* parent)
    : QObject(parent), m_updater(new Updater(feedUrl, currentVersion, this))
{
    connect(m_updater, &Updater::updateFound, this, &StandardUpdaterController::showUpdateFound);
    connect(m_updater, &Updater::updateNotFound, this, &StandardUpdaterController::showUpToDate);
    connect(m_updater, &Updater::updateCheckFailed, this, &StandardUpdaterController::showCheckFailed);
    connect(m_updater, &Updater::updateDownloaded, this, &StandardUpdaterController::showDownloaded);
    connect(m_updater, &Updater::updateDownloadFailed, this, &StandardUpdaterController::showDownloadFailed);
    if (startingUpdater) {
        m_updater->startUpdater();
    }
}

QMessageBox* StandardUpdaterController::present(const QString& title, const QString& message)
{
    if (m_dialog) {
        m_dialog->close();
    }
    auto* dialog = new QMessageBox(Windows::mainWindow());
    dialog->setObjectName(QStringLiteral("updaterDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QCoreApplication::translate("Tandrel", "Software Update"));
    dialog->setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
    dialog->setText(title);
    dialog->setInformativeText(message);
    dialog->setWindowModality(Qt::NonModal);
    m_dialog = dialog;
    return dialog;
}

void StandardUpdaterController::showUpdateFound(const AppcastItem& item, Updater::CheckKind kind)
{
    // A scheduled check that downloads by itself speaks up once the download is done.
    if (kind == Updater::CheckKind::scheduled && m_updater->automaticallyDownloadsUpdates()) {
        return;
    }
    QMessageBox* dialog =
        present(QCoreApplication::translate("Tandrel", "A new version of Tandrel is available!"),
                QCoreApplication::translate(
                    "Tandrel", "Tandrel %1 is now available—you have %2. Would you like to download it now?")
                    .arg(item.displayVersion(), m_updater->currentVersion()));
    if (!item.notes.isEmpty()) {
        dialog->setDetailedText(item.notes);
    }
    QPushButton* download =
        dialog->addButton(QCoreApplication::translate("Tandrel", "Download"), QMessageBox::AcceptRole);
    download->setObjectName(QStringLiteral("downloadUpdateButton"));
    QPushButton* later =
        dialog->addButton(QCoreApplication::translate("Tandrel", "Remind Me Later"), QMessageBox::RejectRole);
    later->setObjectName(QStringLiteral("remindLaterButton"));
    const QUrl url = item.url;
    connect(download, &QPushButton::clicked, this, [url] { Workspace::open(url); });
    dialog->show();
}

void StandardUpdaterController::showUpToDate(const QString& currentVersion, Updater::CheckKind kind)
{
    if (kind != Updater::CheckKind::userInitiated) {
        return;
    }
    QMessageBox* dialog =
        present(QCoreApplication::translate("Tandrel", "You’re up to date!"),
                QCoreApplication::translate("Tandrel", "Tandrel %1 is currently the newest version available.")
                    .arg(currentVersion));
    dialog->addButton(QCoreApplication::translate("Tandrel", "OK"), QMessageBox::AcceptRole)
        ->setObjectName(QStringLiteral("updaterOkButton"));
    dialog->show();
}

void StandardUpdaterController::showCheckFailed(const QString& reason, Updater::CheckKind kind)
{
    // Nobody asked for a scheduled check: its failure waits for the next one.
    if (kind != Updater::CheckKind::userInitiated) {
        return;
    }
    QMessageBox* dialog =
        present(QCoreApplication::translate("Tandrel", "Update Error!"),
                QCoreApplication::translate(
                    "Tandrel", "An error occurred in retrieving update information. Please try again later.") +
                    QStringLiteral("\n\n") + reason);
    dialog->addButton(QCoreApplication::translate("Tandrel", "OK"), QMessageBox::AcceptRole)
        ->setObjectName(QStringLiteral("updaterOkButton"));
    dialog->show();
}

void StandardUpdaterController::showDownloaded(const AppcastItem& item, const QString& filePath)
{
    QMessageBox* dialog = present(QCoreApplication::translate("Tandrel", "A new version of Tandrel is available!"),
                                  QCoreApplication::translate("Tandrel", "Tandrel %1 has been downloaded to %2.")
                                      .arg(item.displayVersion(), filePath));
    dialog->addButton(QCoreApplication::translate("Tandrel", "OK"), QMessageBox::AcceptRole)
        ->setObjectName(QStringLiteral("updaterOkButton"));
    dialog->show();
}

void StandardUpdaterController::showDownloadFailed(const AppcastItem& item, const QString& reason)
{
    QMessageBox* dialog = present(
        QCoreApplication::translate("Tandrel", "Update Error!"),
        QCoreApplication::translate("Tandrel", "Tandrel %1 could not be downloaded.").arg(item.displayVersion()) +
            QStringLiteral("\n\n") + reason);
    dialog->addButton(QCoreApplication::translate("Tandrel", "OK"), QMessageBox::AcceptRole)
        ->setObjectName(QStringLiteral("updaterOkButton"));
    dialog->show();
}

}  // namespace tandrel

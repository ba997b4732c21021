#pragma once

#include "Platform/Published.h"

#include <QDateTime>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace tandrel {

// One release offered by the update feed.
struct AppcastItem {
    QString title;
    QString version;             // compared with the running version
    QString shortVersionString;  // shown to the user; the version when absent
    QUrl url;                    // the package to download
    qint64 length = 0;
    QString notes;  // plain text of the item's <description>
    QString displayVersion() const { return shortVersionString.isEmpty() ? version : shortVersionString; }
};

// The application's updater: reads an appcast feed, compares versions and reports what it
// found. Checks are user-initiated (`checkForUpdates`) or scheduled while automatic checks
// are on. It owns no window; a user driver (the dialogs) listens to its signals.
//
// The feed is RSS 2.0. Every <item> of the <channel> is one release; its <enclosure>
// carries the package address in `url`, its size in `length` and the release's version in
// an attribute whose local name is `version` (any namespace prefix, for instance
// `tandrel:version`), optionally with `shortVersionString` as the text shown to users. The
// item with the highest version wins; items without a version or address are skipped:
//
//   <rss version="2.0" xmlns:tandrel="urn:tandrel:appcast">
//     <channel>
//       <item>
//         <title>Tandrel 1.1.0</title>
//         <description>What changed.</description>
//         <enclosure url="https://…/tandrel-1.1.0.tar.gz" length="1234"
//                    type="application/octet-stream" tandrel:version="1.1.0"/>
//       </item>
//     </channel>
//   </rss>
//
// Versions compare part by part on dots; numeric parts numerically, other parts as text.
class Updater : public ObservableObject {
    Q_OBJECT
public:
    enum class CheckKind { userInitiated, scheduled };

    // User-default keys of the two automatic settings and the time of the last check.
    static inline const QString automaticChecksKey = QStringLiteral("UpdaterAutomaticallyChecks");
    static inline const QString automaticDownloadsKey = QStringLiteral("UpdaterAutomaticallyDownloads");
    static inline const QString lastCheckTimeKey = QStringLiteral("UpdaterLastCheckTime");

    static constexpr int kDefaultTransferTimeoutMs = 10'000;
    static constexpr qint64 kDefaultCheckIntervalSeconds = 24 * 60 * 60;

    explicit Updater(QUrl feedUrl, QString currentVersion, QObject* parent = nullptr);
    ~Updater() override;

    // True while a user-initiated check may start: after `startUpdater` and while no check
    // or download runs.
    Published<bool> canCheckForUpdates{this, false};

    // Starts the schedule; before it no check runs. Calling it again does nothing.
    void startUpdater();
    bool started() const { return m_started; }

    void checkForUpdates();
    void checkForUpdatesInBackground();

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool value);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool value);

    const QUrl& feedUrl() const { return m_feedUrl; }
    const QString& currentVersion() const { return m_currentVersion; }
    // Where automatic downloads are kept.
    static QString downloadFolder();

    // For tests and deployments with slow feeds.
    void setTransferTimeout(int milliseconds) { m_transferTimeoutMs = milliseconds; }
    void setCheckInterval(qint64 seconds);

    // Negative, zero or positive as `a` is older than, equal to or newer than `b`.
    static int compareVersions(const QString& a, const QString& b);
    // The newest item of a feed, nullopt for a feed without a usable item, or a reason
    // for a feed that is not readable RSS.
    struct ParseResult {
        std::optional<AppcastItem> newest;
        QString error;  // empty when the feed was read
    };
    static ParseResult parseAppcast(const QByteArray& data);

Q_SIGNALS:
    void updateFound(const tandrel::AppcastItem& item, tandrel::Updater::CheckKind kind);
    void updateNotFound(const QString& currentVersion, tandrel::Updater::CheckKind kind);
    // A feed that could not be fetched or read; `reason` says why.
    void updateCheckFailed(const QString& reason, tandrel::Updater::CheckKind kind);
    void updateDownloaded(const tandrel::AppcastItem& item, const QString& filePath);
    void updateDownloadFailed(const tandrel::AppcastItem& item, const QString& reason);

private:
    void check(CheckKind kind);
    void finishCheck(QNetworkReply* reply, CheckKind kind);
    void download(const AppcastItem& item);
    void scheduleNextCheck();
    void setBusy(bool busy);

    QUrl m_feedUrl;
    QString m_currentVersion;
    QNetworkAccessManager* m_network;
    QTimer m_schedule;
    QPointer<QNetworkReply> m_running;
    int m_transferTimeoutMs = kDefaultTransferTimeoutMs;
    qint64 m_checkIntervalSeconds = kDefaultCheckIntervalSeconds;
    bool m_started = false;
};

}  // namespace tandrel

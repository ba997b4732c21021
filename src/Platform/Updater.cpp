#include "Platform/Updater.h"

#include "BuildConfig.h"
#include "Platform/UserDefaults.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QStandardPaths>
#include <QXmlStreamReader>

namespace tandrel {
namespace {

QString attributeByLocalName(const QXmlStreamAttributes& attributes, QStringView localName)
{
    for (const QXmlStreamAttribute& attribute : attributes) {
        if (attribute.name() == localName) {
            return attribute.value().toString().trimmed();
        }
    }
    return {};
}

QString failureReason(QNetworkReply* reply, int timeoutMs)
{
    switch (reply->error()) {
        case QNetworkReply::OperationCanceledError:
        case QNetworkReply::TimeoutError:
            return QStringLiteral("The update feed did not answer within %1 seconds.")
                .arg(timeoutMs / 1000.0, 0, 'g', 3);
        default:
            return reply->errorString();
    }
}

}  // namespace

Updater::Updater(QUrl feedUrl, QString currentVersion, QObject* parent)
    : ObservableObject(parent),
      m_feedUrl(std::move(feedUrl)),
      m_currentVersion(std::move(currentVersion)),
      m_network(new QNetworkAccessManager(this))
{
    m_schedule.setSingleShot(true);
    connect(&m_schedule, &QTimer::timeout, this, &Updater::checkForUpdatesInBackground);
}

Updater::~Updater()
{
    if (m_running) {
        m_running->abort();
    }
}

void Updater::startUpdater()
{
    if (m_started) {
        return;
    }
    m_started = true;
    canCheckForUpdates = true;
    scheduleNextCheck();
}

void Updater::checkForUpdates()
{
    check(CheckKind::userInitiated);
}

void Updater::checkForUpdatesInBackground()
{
    check(CheckKind::scheduled);
}

bool Updater::automaticallyChecksForUpdates() const
{
    return UserDefaults::standard().boolValue(automaticChecksKey, true);
}

void Updater::setAutomaticallyChecksForUpdates(bool value)
{
    UserDefaults::standard().set(value, automaticChecksKey);
    if (value) {
        scheduleNextCheck();
    } else {
        m_schedule.stop();
    }
}

bool Updater::automaticallyDownloadsUpdates() const
{
    return UserDefaults::standard().boolValue(automaticDownloadsKey, false);
}

void Updater::setAutomaticallyDownloadsUpdates(bool value)
{
    UserDefaults::standard().set(value, automaticDownloadsKey);
}

QString Updater::downloadFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QLatin1Char('/') +
           QString::fromUtf8(BuildConfig::bundleIdentifier) + QStringLiteral("/updates");
}

void Updater::setCheckInterval(qint64 seconds)
{
    m_checkIntervalSeconds = std::max<qint64>(1, seconds);
    scheduleNextCheck();
}

void Updater::scheduleNextCheck()
{
    if (!m_started || !automaticallyChecksForUpdates()) {
        return;
    }
    UserDefaults& defaults = UserDefaults::standard();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const auto last = defaults.object(lastCheckTimeKey);
    if (!last) {
        // The first run only starts the clock: nobody is asked about updates before
        // they have used the program for a while.
        defaults.set(now, lastCheckTimeKey);
    }
    const qint64 lastCheck = last ? last->toLongLong() : now;
    const qint64 due = std::clamp<qint64>(lastCheck + m_checkIntervalSeconds - now, 0, m_checkIntervalSeconds);
    m_schedule.start(std::chrono::milliseconds(due * 1000));
}

void Updater::setBusy(bool busy)
{
    const bool canCheck = m_started && !busy;
    if (canCheckForUpdates() != canCheck) {
        canCheckForUpdates = canCheck;
    }
}

void Updater::check(CheckKind kind)
{
    if (!m_started || m_running) {
        return;
    }
    if (kind == CheckKind::scheduled) {
        UserDefaults::standard().set(QDateTime::currentSecsSinceEpoch(), lastCheckTimeKey);
        scheduleNextCheck();
    }
    if (!m_feedUrl.isValid() || m_feedUrl.scheme().isEmpty()) {
        Q_EMIT updateCheckFailed(QStringLiteral("The update feed address is not valid."), kind);
        return;
    }
    QNetworkRequest request(m_feedUrl);
    request.setTransferTimeout(m_transferTimeoutMs);
    request.setRawHeader("Cache-Control", "no-cache");
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Tandrel/%1").arg(m_currentVersion));
    QNetworkReply* reply = m_network->get(request);
    m_running = reply;
    setBusy(true);
    connect(reply, &QNetworkReply::finished, this, [this, reply, kind] { finishCheck(reply, kind); });
}

void Updater::finishCheck(QNetworkReply* reply, CheckKind kind)
{
    reply->deleteLater();
    m_running = nullptr;
    setBusy(false);
    if (reply->error() != QNetworkReply::NoError) {
        Q_EMIT updateCheckFailed(failureReason(reply, m_transferTimeoutMs), kind);
        return;
    }
    const ParseResult parsed = parseAppcast(reply->readAll());
    if (!parsed.error.isEmpty()) {
        Q_EMIT updateCheckFailed(parsed.error, kind);
        return;
    }
    if (!parsed.newest || compareVersions(parsed.newest->version, m_currentVersion) <= 0) {
        Q_EMIT updateNotFound(m_currentVersion, kind);
        return;
    }
    Q_EMIT updateFound(*parsed.newest, kind);
    if (kind == CheckKind::scheduled && automaticallyDownloadsUpdates()) {
        download(*parsed.newest);
    }
}

void Updater::download(const AppcastItem& item)
{
    QNetworkRequest request(item.url);
    request.setTransferTimeout(m_transferTimeoutMs);
    QNetworkReply* reply = m_network->get(request);
    m_running = reply;
    setBusy(true);
    connect(reply, &QNetworkReply::finished, this, [this, reply, item] {
        reply->deleteLater();
        m_running = nullptr;
        setBusy(false);
        if (reply->error() != QNetworkReply::NoError) {
            Q_EMIT updateDownloadFailed(item, failureReason(reply, m_transferTimeoutMs));
            return;
        }
        QString name = QFileInfo(item.url.path()).fileName();
        if (name.isEmpty()) {
            name = QStringLiteral("tandrel-%1").arg(item.version);
        }
        QDir().mkpath(downloadFolder());
        QSaveFile file(downloadFolder() + QLatin1Char('/') + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(reply->readAll()) < 0 || !file.commit()) {
            Q_EMIT updateDownloadFailed(item, file.errorString());
            return;
        }
        Q_EMIT updateDownloaded(item, file.fileName());
    });
}

int Updater::compareVersions(const QString& a, const QString& b)
{
    const QStringList left = a.trimmed().split(QLatin1Char('.'));
    const QStringList right = b.trimmed().split(QLatin1Char('.'));
    for (qsizetype i = 0; i < std::max(left.size(), right.size()); ++i) {
        const QString l = i < left.size() ? left[i] : QStringLiteral("0");
        const QString r = i < right.size() ? right[i] : QStringLiteral("0");
        bool lNumeric = false;
        bool rNumeric = false;
        const qulonglong ln = l.toULongLong(&lNumeric);
        const qulonglong rn = r.toULongLong(&rNumeric);
        if (lNumeric && rNumeric) {
            if (ln != rn) {
                return ln < rn ? -1 : 1;
            }
            continue;
        }
        if (const int order = QString::compare(l, r); order != 0) {
            return order < 0 ? -1 : 1;
        }
    }
    return 0;
}

Updater::ParseResult Updater::parseAppcast(const QByteArray& data)
{
    ParseResult result;
    QXmlStreamReader xml(data);
    bool sawRss = false;
    std::optional<AppcastItem> current;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const QStringView name = xml.name();
            if (name == u"rss" && xml.namespaceUri().isEmpty()) {
                sawRss = true;
            } else if (name == u"item" && sawRss) {
                current = AppcastItem{};
            } else if (current && name == u"title" && xml.namespaceUri().isEmpty()) {
                current->title = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
            } else if (current && name == u"description" && xml.namespaceUri().isEmpty()) {
                current->notes = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
            } else if (current && name == u"enclosure") {
                const QXmlStreamAttributes attributes = xml.attributes();
                current->url = QUrl(attributes.value(QStringLiteral("url")).toString().trimmed());
                current->length = attributes.value(QStringLiteral("length")).toLongLong();
                current->version = attributeByLocalName(attributes, u"version");
                current->shortVersionString = attributeByLocalName(attributes, u"shortVersionString");
            }
        } else if (token == QXmlStreamReader::EndElement && xml.name() == u"item" && current) {
            const bool usable = !current->version.isEmpty() && current->url.isValid() && !current->url.isRelative();
            if (usable && (!result.newest || compareVersions(current->version, result.newest->version) > 0)) {
                result.newest = current;
            }
            current.reset();
        }
    }
    if (xml.hasError()) {
        result.newest.reset();
        result.error = QStringLiteral("The update feed is not readable: %1 (line %2).")
                           .arg(xml.errorString())
                           .arg(xml.lineNumber());
    } else if (!sawRss) {
        result.error = QStringLiteral("The update feed is not an RSS feed.");
    }
    return result;
}

}  // namespace tandrel

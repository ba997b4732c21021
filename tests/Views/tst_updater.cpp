#include "Platform/Updater.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"
#include "TandrelApp.h"
#include "Views/Updater/CheckForUpdatesView.h"
#include "Views/Updater/StandardUpdaterController.h"
#include "Views/Updater/UpdaterSettingsView.h"
#include "support/TestMain.h"

#include <QAction>
#include <QCheckBox>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QTcpServer>

using namespace tandrel;

namespace {

QByteArray appcast(const QList<QPair<QString, QString>>& versionsAndUrls)
{
    QByteArray xml = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:tandrel="urn:tandrel:appcast"><channel><title>Tandrel</title>)";
    for (const auto& [version, url] : versionsAndUrls) {
        xml += QStringLiteral(R"(<item><title>Tandrel %1</title><description>Fixes.</description>
<enclosure url="%2" length="4" type="application/octet-stream" tandrel:version="%1"/></item>)")
                   .arg(version, url)
                   .toUtf8();
    }
    return xml + "</channel></rss>";
}

}  // namespace

class UpdaterTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        m_server.route(QStringLiteral("/appcast.xml"), [this] {
            ++m_feedRequests;
            return QHttpServerResponse("application/rss+xml", m_feed);
        });
        m_server.route(QStringLiteral("/tandrel-9.0.0.tar.gz"),
                       [] { return QHttpServerResponse("application/octet-stream", QByteArray("PKG!")); });
        m_port = m_server.listen(QHostAddress::LocalHost, 0);
        QVERIFY(m_port);
    }

    void init()
    {
        for (const QString& key :
             {Updater::automaticChecksKey, Updater::automaticDownloadsKey, Updater::lastCheckTimeKey}) {
            UserDefaults::standard().removeObject(key);
        }
        m_feedRequests = 0;
    }

    void versionsCompareByParts_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("equal") << "1.0.0"
                               << "1.0.0" << 0;
        QTest::newRow("missing parts are zero") << "1.0"
                                                << "1.0.0" << 0;
        QTest::newRow("numeric, not textual") << "1.10.0"
                                              << "1.9.0" << 1;
        QTest::newRow("older major") << "0.9.9"
                                     << "1.0.0" << -1;
        QTest::newRow("longer is newer") << "1.0.0.1"
                                         << "1.0.0" << 1;
        QTest::newRow("text parts compare as text") << "1.0.b"
                                                    << "1.0.a" << 1;
    }

    void versionsCompareByParts()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(Updater::compareVersions(a, b), order);
        QCOMPARE(Updater::compareVersions(b, a), -order);
    }

    void feedParsing_data()
    {
        QTest::addColumn<QByteArray>("feed");
        QTest::addColumn<QString>("newest");
        QTest::addColumn<bool>("failed");
        const QString url = QStringLiteral("https://example.invalid/p.tgz");
        QTest::newRow("highest version wins, wherever it stands")
            << appcast({{"1.2.0", url}, {"1.10.0", url}, {"1.9.0", url}}) << "1.10.0" << false;
        QTest::newRow("items without version or address are skipped")
            << appcast({{"", url}, {"2.0.0", ""}, {"1.1.0", url}}) << "1.1.0" << false;
        QTest::newRow("empty channel") << appcast({}) << "" << false;
        QTest::newRow("broken XML") << QByteArray("<rss><channel><item>") << "" << true;
        QTest::newRow("not RSS") << QByteArray("<html><body>Not here</body></html>") << "" << true;
        QTest::newRow("empty answer") << QByteArray() << "" << true;
    }

    void feedParsing()
    {
        QFETCH(QByteArray, feed);
        QFETCH(QString, newest);
        QFETCH(bool, failed);
        const Updater::ParseResult result = Updater::parseAppcast(feed);
        QCOMPARE(!result.error.isEmpty(), failed);
        QCOMPARE(result.newest ? result.newest->version : QString(), newest);
    }

    void userCheckTellsWhatTheFeedSays_data()
    {
        QTest::addColumn<QByteArray>("feed");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("messageStart");
        const QString package = QStringLiteral("http://127.0.0.1:%1/tandrel-9.0.0.tar.gz").arg(m_port);
        QTest::newRow("newer version") << appcast({{"9.0.0", package}}) << "/appcast.xml"
                                       << "A new version of Tandrel is available!"
                                       << "Tandrel 9.0.0 is now available";
        QTest::newRow("same version") << appcast({{"1.0.0", package}}) << "/appcast.xml"
                                      << "You’re up to date!"
                                      << "Tandrel 1.0.0 is currently";
        QTest::newRow("feed not found") << QByteArray() << "/missing.xml"
                                        << "Update Error!"
                                        << "An error occurred in retrieving update information.";
        QTest::newRow("feed not RSS") << QByteArray("{\"json\": true}") << "/appcast.xml"
                                      << "Update Error!"
                                      << "An error occurred in retrieving update information.";
    }

    void userCheckTellsWhatTheFeedSays()
    {
        QFETCH(QByteArray, feed);
        QFETCH(QString, path);
        QFETCH(QString, title);
        QFETCH(QString, messageStart);
        m_feed = feed;
        StandardUpdaterController controller(true, feedUrl(path), QStringLiteral("1.0.0"));
        QVERIFY(controller.updater().canCheckForUpdates());
        controller.updater().checkForUpdates();
        QVERIFY(!controller.updater().canCheckForUpdates());
        QTRY_VERIFY_WITH_TIMEOUT(controller.currentDialog() && controller.currentDialog()->isVisible(), 10000);
        QCOMPARE(controller.currentDialog()->text(), title);
        QVERIFY2(controller.currentDialog()->informativeText().startsWith(messageStart),
                 qPrintable(controller.currentDialog()->informativeText()));
        QVERIFY(controller.updater().canCheckForUpdates());
        controller.currentDialog()->close();
    }

    void downloadOpensThePackageAddress()
    {
        const QString package = QStringLiteral("http://127.0.0.1:%1/tandrel-9.0.0.tar.gz").arg(m_port);
        m_feed = appcast({{"9.0.0", package}});
        QList<QUrl> opened;
        Workspace::setOpener([&](const QUrl& url) {
            opened << url;
            return true;
        });
        StandardUpdaterController controller(true, feedUrl(), QStringLiteral("1.0.0"));
        controller.updater().checkForUpdates();
        QTRY_VERIFY_WITH_TIMEOUT(controller.currentDialog(), 10000);
        QTest::mouseClick(controller.currentDialog()->findChild<QPushButton*>(QStringLiteral("downloadUpdateButton")),
                          Qt::LeftButton);
        Workspace::setOpener({});
        QCOMPARE(opened, QList<QUrl>{QUrl(package)});
    }

    void silentFeedIsAClearMessageNotAHang()
    {
        // Accepts the connection and never answers.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        TandrelApp app(QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(silent.serverPort())));
        Updater& updater = app.updaterController().updater();
        updater.setTransferTimeout(300);
        QMainWindow* window = app.body();
        QAction* item = window->findChild<QAction*>(QStringLiteral("checkForUpdatesAction"));
        QVERIFY(item->isEnabled());
        item->trigger();
        QVERIFY(!item->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(app.updaterController().currentDialog(), 10000);
        QCOMPARE(app.updaterController().currentDialog()->text(), QStringLiteral("Update Error!"));
        QVERIFY(app.updaterController().currentDialog()->informativeText().contains(
            QStringLiteral("did not answer within 0.3 seconds")));
        QVERIFY(item->isEnabled());
    }

    void scheduledChecksRunOnlyWhileAutomaticChecksAreOn()
    {
        m_feed = appcast({{"1.0.0", QStringLiteral("http://127.0.0.1/p.tgz")}});
        // A first check is due at once: the last one is long past.
        UserDefaults::standard().set(qint64(1), Updater::lastCheckTimeKey);
        UserDefaults::standard().set(false, Updater::automaticChecksKey);
        StandardUpdaterController controller(true, feedUrl(), QStringLiteral("1.0.0"));
        controller.updater().setCheckInterval(3600);
        QCoreApplication::processEvents();
        QCOMPARE(m_feedRequests, 0);
        controller.updater().setAutomaticallyChecksForUpdates(true);
        QTRY_COMPARE_WITH_TIMEOUT(m_feedRequests, 1, 10000);
        // Nothing was asked for, so "up to date" is not shown.
        QVERIFY(!controller.currentDialog());
        QVERIFY(UserDefaults::standard().integer(Updater::lastCheckTimeKey) > 1);
    }

    void scheduledCheckDownloadsWhenAutomaticDownloadsAreOn()
    {
        const QString package = QStringLiteral("http://127.0.0.1:%1/tandrel-9.0.0.tar.gz").arg(m_port);
        m_feed = appcast({{"9.0.0", package}});
        UserDefaults::standard().set(qint64(1), Updater::lastCheckTimeKey);
        UserDefaults::standard().set(true, Updater::automaticDownloadsKey);
        StandardUpdaterController controller(true, feedUrl(), QStringLiteral("1.0.0"));
        QTRY_VERIFY_WITH_TIMEOUT(controller.currentDialog(), 10000);
        const QString file = Updater::downloadFolder() + QStringLiteral("/tandrel-9.0.0.tar.gz");
        QVERIFY(controller.currentDialog()->informativeText().contains(file));
        QFile downloaded(file);
        QVERIFY(downloaded.open(QIODevice::ReadOnly));
        QCOMPARE(downloaded.readAll(), QByteArray("PKG!"));
    }

    void menuItemFollowsTheUpdaterLive()
    {
        Updater updater(QUrl(), QStringLiteral("1.0.0"));
        CheckForUpdatesView view(updater);
        // Before the updater starts no check may begin.
        QVERIFY(!view.action()->isEnabled());
        updater.startUpdater();
        QVERIFY(view.action()->isEnabled());
        updater.canCheckForUpdates = false;
        QVERIFY(!view.action()->isEnabled());
        // A view made now starts from the current value.
        CheckForUpdatesView later(updater);
        QVERIFY(!later.action()->isEnabled());
        updater.canCheckForUpdates = true;
        QVERIFY(later.action()->isEnabled());
    }

    void settingsTogglesWriteTheUpdaterAndDisableDownloadsWithChecksOff()
    {
        UserDefaults::standard().set(true, Updater::automaticDownloadsKey);
        Updater updater(QUrl(), QStringLiteral("1.0.0"));
        UpdaterSettingsView view(updater);
        QCheckBox* checks = view.automaticallyChecksToggle();
        QCheckBox* downloads = view.automaticallyDownloadsToggle();
        QVERIFY(checks->isChecked());
        QVERIFY(downloads->isChecked());
        QVERIFY(downloads->isEnabled());

        checks->click();
        QCOMPARE(updater.automaticallyChecksForUpdates(), false);
        QVERIFY(!downloads->isEnabled());
        QVERIFY(downloads->isChecked());
        QCOMPARE(updater.automaticallyDownloadsUpdates(), true);

        checks->click();
        QVERIFY(downloads->isEnabled());
        downloads->click();
        QCOMPARE(updater.automaticallyDownloadsUpdates(), false);

        // A new view reads what was stored.
        UpdaterSettingsView again(updater);
        QVERIFY(again.automaticallyChecksToggle()->isChecked());
        QVERIFY(!again.automaticallyDownloadsToggle()->isChecked());
    }

private:
    QUrl feedUrl(const QString& path = QStringLiteral("/appcast.xml")) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
    }

    QHttpServer m_server;
    quint16 m_port = 0;
    QByteArray m_feed;
    int m_feedRequests = 0;
};

TANDREL_TEST_MAIN_WIDGETS(UpdaterTest)
#include "tst_updater.moc"

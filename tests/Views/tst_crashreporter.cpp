#include "BuildConfig.h"
#include "Platform/CoreDumps.h"
#include "Platform/CrashReporter.h"
#include "support/TestMain.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

using namespace tandrel;

class CrashReporterTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // The settings bundled with the program's resources.
        QVERIFY(CrashReporter::configure());
        m_folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QLatin1Char('/') +
                   QString::fromUtf8(BuildConfig::bundleIdentifier) + QStringLiteral("/crashes");
        QCOMPARE(CrashReporter::reportFolder(), m_folder);
        // The build id as the toolchain sees it in the running program's file.
        QProcess readelf;
        readelf.start(QStringLiteral("readelf"), {QStringLiteral("-n"), QCoreApplication::applicationFilePath()});
        QVERIFY(readelf.waitForFinished(10000));
        const QRegularExpressionMatch id =
            QRegularExpression(QStringLiteral("Build ID: ([0-9a-f]+)")).match(QString::fromLatin1(readelf.readAll()));
        QVERIFY(id.hasMatch());
        m_buildId = id.captured(1);
        QCOMPARE(CrashReporter::buildId(), m_buildId);
    }

    void reportFolderIsTheUsersAlone()
    {
        const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner | QFileDevice::ReadUser |
                                                   QFileDevice::WriteUser | QFileDevice::ExeUser;
        // Made afresh, and an existing one left open to everyone by an earlier version.
        QDir(m_folder).removeRecursively();
        QVERIFY(CrashReporter::configure());
        QCOMPARE(QFileInfo(m_folder).permissions(), ownerOnly);
        QVERIFY(QFile::setPermissions(m_folder, ownerOnly | QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                                                    QFileDevice::ReadOther | QFileDevice::ExeOther));
        QVERIFY(CrashReporter::configure());
        QCOMPARE(QFileInfo(m_folder).permissions(), ownerOnly);
    }

    // The program turns core files off at start; its own report is still written.
    void crashWithCoreDumpsOffStillWritesAReport()
    {
        QDir(m_folder).removeRecursively();
        QVERIFY(QDir().mkpath(m_folder));
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            rlimit limit{};
            if (!CoreDumps::disable() || ::prctl(PR_GET_DUMPABLE) != 0 || ::getrlimit(RLIMIT_CORE, &limit) != 0 ||
                limit.rlim_cur != 0 || limit.rlim_max != 0) {
                _exit(3);
            }
            raise(SIGSEGV);
            _exit(0);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY2(WIFSIGNALED(status), "core dumps were not turned off");
        QCOMPARE(WTERMSIG(status), SIGSEGV);
        QVERIFY(!WCOREDUMP(status));
        const QStringList reports = QDir(m_folder).entryList({QStringLiteral("crash-*.txt")}, QDir::Files);
        QCOMPARE(reports.size(), 1);
    }

    void fatalSignalWritesAReport_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<QString>("name");
        QTest::newRow("segmentation fault") << SIGSEGV << "SIGSEGV";
        QTest::newRow("abort") << SIGABRT << "SIGABRT";
        QTest::newRow("bus error") << SIGBUS << "SIGBUS";
        QTest::newRow("arithmetic") << SIGFPE << "SIGFPE";
        QTest::newRow("illegal instruction") << SIGILL << "SIGILL";
    }

    void fatalSignalWritesAReport()
    {
        QFETCH(int, signalNumber);
        QFETCH(QString, name);
        QDir(m_folder).removeRecursively();
        QVERIFY(QDir().mkpath(m_folder));

        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            // Only the handler installed by configure() runs here.
            raise(signalNumber);
            _exit(0);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        // The process still dies of its signal, so callers see the real cause.
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), signalNumber);

        const QStringList reports = QDir(m_folder).entryList({QStringLiteral("crash-*.txt")}, QDir::Files);
        QCOMPARE(reports.size(), 1);
        QVERIFY(reports.first().endsWith(QStringLiteral("-%1.txt").arg(child)));
        QFile file(m_folder + QLatin1Char('/') + reports.first());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString report = QString::fromUtf8(file.readAll());
        QVERIFY2(report.startsWith(QStringLiteral("signal: %1 (%2)\n").arg(signalNumber).arg(name)),
                 qPrintable(report));
        QVERIFY(report.contains(QStringLiteral("\nversion: %1\n").arg(BuildConfig::applicationVersion)));
        // The id that finds a stripped program's symbols, and where the program was loaded.
        QVERIFY2(report.contains(QStringLiteral("\nbuild-id: %1\n").arg(m_buildId)), qPrintable(report));
        QVERIFY(report.contains(QRegularExpression(QStringLiteral("\nload-address: 0x[0-9a-f]+\n"))));
        const QRegularExpression time(QStringLiteral("\ntime: (\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z)\n"));
        const QRegularExpressionMatch match = time.match(report);
        QVERIFY2(match.hasMatch(), qPrintable(report));
        const QDateTime written = QDateTime::fromString(match.captured(1), Qt::ISODate);
        QVERIFY(qAbs(written.secsTo(QDateTime::currentDateTimeUtc())) < 3600);
        const QString backtrace = report.section(QStringLiteral("backtrace:\n"), 1);
        QVERIFY2(backtrace.count(QLatin1Char('\n')) >= 2, qPrintable(report));
        QVERIFY(QFile::permissions(file.fileName()) & QFileDevice::ReadOwner);
        QVERIFY(!(QFile::permissions(file.fileName()) & QFileDevice::ReadOther));
    }

    void disabledOrBrokenSettings_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("folder");
        QTest::newRow("switched off") << QByteArray(R"({"enabled": false})") << false << "";
        QTest::newRow("not JSON: defaults") << QByteArray("{{{") << true << "crashes";
        QTest::newRow("own folder name") << QByteArray(R"({"folder": "reports"})") << true << "reports";
        QTest::newRow("folder outside the cache is refused")
            << QByteArray(R"({"folder": "../../elsewhere"})") << true << "crashes";
    }

    void disabledOrBrokenSettings()
    {
        QFETCH(QByteArray, settings);
        QFETCH(bool, enabled);
        QFETCH(QString, folder);
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(settings);
        file.close();
        QCOMPARE(CrashReporter::configure(file.fileName()), enabled);
        if (enabled) {
            QVERIFY(CrashReporter::reportFolder().endsWith(QLatin1Char('/') + folder));
            QVERIFY(QDir(CrashReporter::reportFolder()).exists());
        }
        QVERIFY(CrashReporter::configure());
    }

    void oldReportsAreRemovedBeyondTheLimit()
    {
        QDir(m_folder).removeRecursively();
        QVERIFY(QDir().mkpath(m_folder));
        for (int i = 0; i < 5; ++i) {
            QFile report(m_folder + QStringLiteral("/crash-%1-1.txt").arg(i));
            QVERIFY(report.open(QIODevice::WriteOnly));
            QVERIFY(
                report.setFileTime(QDateTime::currentDateTime().addSecs(i - 10), QFileDevice::FileModificationTime));
            report.close();
        }
        QTemporaryFile settings;
        QVERIFY(settings.open());
        settings.write(R"({"maxReports": 2})");
        settings.close();
        QVERIFY(CrashReporter::configure(settings.fileName()));
        QCOMPARE(QDir(m_folder).entryList(QDir::Files),
                 (QStringList{QStringLiteral("crash-3-1.txt"), QStringLiteral("crash-4-1.txt")}));
        QVERIFY(CrashReporter::configure());
    }

private:
    QString m_folder;
    QString m_buildId;
};

TANDREL_TEST_MAIN_WIDGETS(CrashReporterTest)
#include "tst_crashreporter.moc"

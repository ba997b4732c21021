#include "PrivateBus.h"

#include <QFile>

#include <csignal>

#include <sys/prctl.h>

namespace tandrel::standin {

namespace {

constexpr int kStartTimeoutMs = 5000;

QByteArray configuration(const QString& folder)
{
    return QByteArrayLiteral(
               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:dir=") +
           folder.toUtf8() +
           QByteArrayLiteral(
               "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n");
}

}  // namespace

PrivateBus::PrivateBus()
{
    if (!m_folder.isValid()) {
        m_error = QStringLiteral("no temporary folder for the bus: ") + m_folder.errorString();
        return;
    }
    const QString configPath = m_folder.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly) || config.write(configuration(m_folder.path())) < 0) {
        m_error = QStringLiteral("cannot write the bus configuration: ") + config.errorString();
        return;
    }
    config.close();
    m_daemon.setProcessChannelMode(QProcess::SeparateChannels);
    // A run that crashes takes its bus with it.
    m_daemon.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + configPath,
                                                   QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    if (!m_daemon.waitForStarted(kStartTimeoutMs)) {
        m_error = QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString();
        return;
    }
    while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(kStartTimeoutMs)) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    if (m_address.isEmpty()) {
        m_error = QStringLiteral("dbus-daemon gave no address: ") + QString::fromUtf8(m_daemon.readAllStandardError());
    }
}

PrivateBus::~PrivateBus()
{
    if (m_daemon.state() == QProcess::NotRunning) {
        return;
    }
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(kStartTimeoutMs)) {
        m_daemon.kill();
        m_daemon.waitForFinished(kStartTimeoutMs);
    }
}

}  // namespace tandrel::standin

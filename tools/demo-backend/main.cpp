// tandrel-demo-backend [--port N]: the stand-in backend for the demo, on loopback only.
#include "DemoBackend.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tandrel-demo-backend"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stand-in of the Tandrel VPN service's backend, on 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port to listen on (0 picks a free one)."), QStringLiteral("N"),
                                        QString::number(tandrel::demo::DemoBackend::kDefaultPort));
    parser.addOption(portOption);
    parser.process(app);

    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535) {
        std::fprintf(stderr, "tandrel-demo-backend: --port needs a number from 0 to 65535\n");
        return 2;
    }

    tandrel::demo::DemoBackend backend;
    if (!backend.listen(static_cast<quint16>(port))) {
        std::fprintf(stderr, "tandrel-demo-backend: cannot listen on 127.0.0.1:%u: %s\n", port,
                     qPrintable(backend.errorString()));
        return 1;
    }
    std::printf("Tandrel demo backend listening on %s\n", qPrintable(backend.apiBase()));
    std::printf("Demo account: %s  password: %s\n", qPrintable(tandrel::demo::DemoBackend::demoEmail),
                qPrintable(tandrel::demo::DemoBackend::demoPassword));
    std::printf("Expired account: %s  password: %s\n", qPrintable(tandrel::demo::DemoBackend::expiredEmail),
                qPrintable(tandrel::demo::DemoBackend::expiredPassword));
    std::printf("Trial account: %s  password: %s\n", qPrintable(tandrel::demo::DemoBackend::trialEmail),
                qPrintable(tandrel::demo::DemoBackend::trialPassword));
    std::printf("Redeem code: %s\n", qPrintable(tandrel::demo::DemoBackend::freshRedeemCode));
    std::fflush(stdout);
    return app.exec();
}

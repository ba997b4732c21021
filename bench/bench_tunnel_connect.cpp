// How long the main loop stops while a connect waits on a slow NetworkManager. A connect
// is driven as the application drives it (load, save, load, start; kill switch on)
// through the real NetworkManager back end, against a stand-in NetworkManager on a
// private bus that answers every call after 50 ms, after 2 s, or never. The figure is the
// longest gap between two beats of a 1 ms timer on the main loop while the connect runs;
// the baseline is the same loop left idle as long.
#include "GuardStandIn.h"
#include "NetworkManagerStandIn.h"
#include "PrivateBus.h"

#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/NetworkExtension/NetworkManagerVPNBackend.h"
#include "Platform/NotificationCenter.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <map>
#include <string>

using namespace tandrel;
using tandrel::standin::NetworkManagerStandIn;

namespace {

// The user's own profiles: every search for ours reads each of them.
constexpr int kOtherProfiles = 20;
// A connect still under way after this is cut off: the stand-in then refuses every call,
// so that even a caller blocked on an answer is let go.
constexpr int kConnectCapMs = 10000;
// A fresh back end's first exchanges, answered at once, before the clock starts.
constexpr int kSettleMs = 200;

NetworkManagerStandIn* standIn = nullptr;
QString dataFolder;
// How long the connects at each answer delay ran, for the idle baseline of that delay.
std::map<int, double> connectMsByDelay;

// The longest gap between two beats of a 1 ms timer on the main loop.
class Heartbeat {
public:
    Heartbeat()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { beat(); });
    }

    void start()
    {
        m_longestNs = 0;
        m_lastNs = 0;
        m_clock.start();
        m_timer.start();
    }

    // The longest gap in milliseconds, up to now.
    double stop()
    {
        beat();
        m_timer.stop();
        return double(m_longestNs) / 1e6;
    }

    qint64 elapsedNs() const { return m_clock.nsecsElapsed(); }

private:
    void beat()
    {
        const qint64 now = m_clock.nsecsElapsed();
        m_longestNs = std::max(m_longestNs, now - m_lastNs);
        m_lastNs = now;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
};

void runLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// What the connect stores, as VPNHelper builds it with the default switches (kill switch
// on, local networks excluded). The server is a name, resolved on this machine alone.
void configure(NEVPNManager& manager)
{
    NEVPNIKEv2SecurityAssociationParameters association;
    association.encryptionAlgorithm = NEVPNIKEv2EncryptionAlgorithm::algorithmAES256GCM;
    association.integrityAlgorithm = NEVPNIKEv2IntegrityAlgorithm::SHA384;
    association.diffieHellmanGroup = NEVPNIKEv2DiffieHellmanGroup::group31;
    NEVPNProtocolIKEv2 protocol;
    protocol.serverAddress = QStringLiteral("localhost");
    protocol.remoteIdentifier = QStringLiteral("localhost");
    protocol.username = QStringLiteral("bench-user");
    protocol.passwordReference = QByteArrayLiteral("bench-password-reference");
    protocol.useExtendedAuthentication = true;
    protocol.IKESecurityAssociationParameters = association;
    protocol.childSecurityAssociationParameters = association;
    protocol.enablePFS = true;
    protocol.includeAllNetworks = true;
    protocol.excludeLocalNetworks = true;
    manager.onDemandRules = {NEOnDemandRuleConnect{NEOnDemandRuleInterfaceType::any}};
    manager.isOnDemandEnabled = true;
    manager.protocolConfiguration = protocol;
    manager.localizedDescription = QStringLiteral("Tandrel");
    manager.isEnabled = true;
}

// A fresh back end before a stand-in that is back at its start, so that no run inherits
// another's profile, tunnel or blocks.
void freshBackend()
{
    standIn->setAnswerDelay(0);
    standIn->reset();
    runLoopFor(kSettleMs);  // the last run's back end hears its calls refused before it goes
    QDir(dataFolder).removeRecursively();
    QDir().mkpath(dataFolder);
    NEVPNManager::shared().setBackend(std::make_shared<NetworkManagerVPNBackend>(std::make_unique<GuardStandIn>()));
    runLoopFor(kSettleMs);
}

struct Outcome {
    double stallMs = 0;
    double wallMs = 0;
    bool ended = false;  // before the cut-off, connected or failed
    bool connected = false;
};

Outcome connectOnce(int delayMs)
{
    freshBackend();
    NEVPNManager& manager = NEVPNManager::shared();
    struct Run {
        QEventLoop loop;
        Heartbeat heartbeat;
        bool over = false;
        bool started = false;
        bool connected = false;
        qint64 endedNs = -1;

        void finish(bool up)
        {
            if (over) {
                return;
            }
            over = true;
            connected = up;
            endedNs = heartbeat.elapsedNs();
            loop.quit();
        }
    };
    auto run = std::make_shared<Run>();
    const NotificationCenter::Token observer = NotificationCenter::defaultCenter().addObserver(
        NEVPNStatusDidChangeNotification, &manager.connection(), NotificationCenter::Delivery::postingThread,
        [run, &manager](const Notification&) {
            const NEVPNStatus status = manager.connection().status();
            if (status == NEVPNStatus::connected) {
                run->finish(true);
            } else if (run->started && (status == NEVPNStatus::disconnected || status == NEVPNStatus::invalid)) {
                run->finish(false);
            }
        });

    standIn->setAnswerDelay(delayMs);
    standIn->refuseAllAfter(kConnectCapMs);
    QTimer::singleShot(kConnectCapMs, &run->loop, &QEventLoop::quit);
    // The chain VPNHelper runs on connect, once the server's configuration is in.
    QTimer::singleShot(0, &run->loop, [run, &manager] {
        manager.loadFromPreferences([run, &manager](std::optional<Error> error) {
            if (error || run->over) {
                run->finish(false);
                return;
            }
            configure(manager);
            manager.saveToPreferences([run, &manager](std::optional<Error> error) {
                if (error || run->over) {
                    run->finish(false);
                    return;
                }
                manager.loadFromPreferences([run, &manager](std::optional<Error> error) {
                    if (error || run->over) {
                        run->finish(false);
                        return;
                    }
                    run->started = true;
                    if (manager.connection().startVPNTunnel()) {
                        run->finish(false);
                    } else if (manager.connection().status() == NEVPNStatus::connected) {
                        run->finish(true);
                    }
                });
            });
        });
    });
    run->heartbeat.start();
    run->loop.exec();
    Outcome outcome;
    outcome.stallMs = run->heartbeat.stop();
    const qint64 capNs = qint64(kConnectCapMs) * 1000000;
    outcome.ended = run->endedNs >= 0 && run->endedNs < capNs;
    outcome.connected = outcome.ended && run->connected;
    outcome.wallMs = double(outcome.ended ? run->endedNs : run->heartbeat.elapsedNs()) / 1e6;
    run->over = true;
    NotificationCenter::defaultCenter().removeObserver(observer);
    standIn->setAnswerDelay(0);
    standIn->reset();  // lets go of calls still waiting
    return outcome;
}

void BM_TunnelConnect_Stall(benchmark::State& state, int delayMs)
{
    double longest = 0;
    double wall = 0;
    int ended = 0;
    int connected = 0;
    for (auto _ : state) {
        const Outcome outcome = connectOnce(delayMs);
        state.SetIterationTime(outcome.wallMs / 1000.0);
        longest = std::max(longest, outcome.stallMs);
        wall += outcome.wallMs;
        ended += outcome.ended ? 1 : 0;
        connected += outcome.connected ? 1 : 0;
    }
    const double runs = double(state.iterations());
    connectMsByDelay[delayMs] = wall / runs;
    state.counters["stall_ms"] = longest;
    state.counters["connect_ms"] = wall / runs;
    // Shares of the connects that ended before the cut-off, and that ended connected.
    state.counters["ended"] = ended / runs;
    state.counters["connected"] = connected / runs;
}

// The same loop, with a back end in place, left idle as long as the connects ran.
void BM_Baseline_IdleLoop(benchmark::State& state, int delayMs)
{
    const auto measured = connectMsByDelay.find(delayMs);
    const int idleMs = measured != connectMsByDelay.end() ? int(measured->second) : kConnectCapMs;
    freshBackend();
    double longest = 0;
    for (auto _ : state) {
        Heartbeat heartbeat;
        heartbeat.start();
        runLoopFor(idleMs);
        longest = std::max(longest, heartbeat.stop());
        state.SetIterationTime(idleMs / 1000.0);
    }
    state.counters["stall_ms"] = longest;
    state.counters["idle_ms"] = idleMs;
}

}  // namespace

int main(int argc, char** argv)
{
    // The back end notes its blocks under the data folder: a folder of the benchmark's own.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    dataFolder = home.path() + QStringLiteral("/data");
    QCoreApplication app(argc, argv);

    standin::PrivateBus bus;
    if (!bus.isRunning()) {
        std::fprintf(stderr, "No private bus: %s\n", qPrintable(bus.error()));
        return 1;
    }
    // Before anything asks for the system bus: the back end finds the stand-in there.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().toUtf8());
    NetworkManagerStandIn networkManager(bus.address(), kOtherProfiles);
    if (!networkManager.isRunning()) {
        std::fprintf(stderr, "The stand-in NetworkManager did not take its name on the private bus\n");
        return 1;
    }
    standIn = &networkManager;

    const std::pair<const char*, int> delays[] = {{"50ms", 50}, {"2s", 2000}, {"never", NetworkManagerStandIn::kNever}};
    for (const auto& [name, delayMs] : delays) {
        benchmark::RegisterBenchmark((std::string("BM_TunnelConnect_Stall/") + name).c_str(), BM_TunnelConnect_Stall,
                                     delayMs)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(2);
        benchmark::RegisterBenchmark((std::string("BM_Baseline_IdleLoop/") + name).c_str(), BM_Baseline_IdleLoop,
                                     delayMs)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(2);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    NEVPNManager::shared().setBackend(nullptr);
    return 0;
}

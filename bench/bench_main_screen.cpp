// The main screen of a logged-in user with 200 and 10,000 regions: a frame of a window
// resize (the list, the map and the rest laid out and painted at the new size), next to
// the plain twin of Baselines.h; and the start of the program up to the main screen's
// frame showing the regions, next to a bare window's first frame, each started as its
// own process (this program again, with --start-probe).
#include "Baselines.h"
#include "RegionScreens.h"

#include "Classes/Preferences.h"
#include "ContentView.h"
#include "DemoBackend.h"
#include "Views/Map/WorldMap.h"
#include "Views/Regions/VPNRegionsView.h"
#include "Views/Screens/VPNMainView.h"

#include <nlohmann/json.hpp>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMainWindow>
#include <QProcess>
#include <QTimer>
#include <QWindow>

#include <cstring>

namespace {

using namespace tandrel;

// Lets the event loop run for a while: the screen's own 0.2 s resize animation and the
// loads it starts end in it.
void runFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
    bench::settle();
}

// Widths of a window's edge dragged in and out, one step a frame.
int widthAt(int step)
{
    const int phase = step % 20;
    return 900 - 10 * (phase < 10 ? phase : 20 - phase);
}

// The program's window, as it opens for a logged-in user; its screen's controller then
// gets the regions.
struct OurScreen {
    QMainWindow window;

    explicit OurScreen(const std::vector<VPNRegion>& regions)
    {
        Preferences::setToken(QStringLiteral("token"));
        Preferences::setEmail(QStringLiteral("user@tandrel.example"));
        Preferences::setCompactView(false);
        window.setCentralWidget(new ContentView(&window));
        window.resize(900, 700);
        window.show();
        runFor(400);
        auto* screen = window.findChild<VPNMainView*>();
        screen->ctrl()->regions = regions;
        screen->ctrl()->currentRegion = regions.front().id;
        runFor(400);
    }
    QWidget* top() { return &window; }
};

struct BaselineScreen {
    bench::BaselineMainScreen screen;

    explicit BaselineScreen(const std::vector<VPNRegion>& regions) : screen(regions)
    {
        screen.resize(900, 700);
        screen.show();
        runFor(400);
    }
    QWidget* top() { return &screen; }
};

template <typename Screen>
void measureResize(benchmark::State& state)
{
    Screen screen(bench::regionsOf(static_cast<int>(state.range(0))));
    int step = 0;
    for (auto _ : state) {
        screen.top()->resize(widthAt(++step), 700);
        bench::settle();
    }
}

void BM_MainScreen_Resize(benchmark::State& state)
{
    measureResize<OurScreen>(state);
}

void BM_Baseline_Resize(benchmark::State& state)
{
    measureResize<BaselineScreen>(state);
}

// ------------------------------------------------------------------------- start-up

// The regions answer for the sample regions, as the backend sends it.
QByteArray regionsAnswer(int count)
{
    nlohmann::json answer = nlohmann::json::array();
    for (VPNRegion region : bench::regionsOf(count)) {
        region.country_name.remove(QStringLiteral("Optimal region\n"));
        answer.push_back(nlohmann::json{
            {"id", static_cast<std::int64_t>(region.id)},
            {"is_streaming", false},
            {"is_free", false},
            {"is_alive", true},
            {"server_domain", region.server_domain.toStdString()},
            {"city", region.city.toStdString()},
            {"country_code", region.country_code.toStdString()},
            {"is_p2p", false},
            {"ip", region.ip.toStdString()},
            {"load_percentage", static_cast<std::int64_t>(region.load_percentage)},
            {"country_name", region.country_name.toStdString()},
            {"is_nearest", region.id == 1},
            {"distance", region.distance.value_or(0)},
            {"location", {{"latitude", region.location.latitude}, {"longitude", region.location.longitude}}},
            {"short_name", region.short_name.toStdString()},
            {"continent", region.continent.toStdString()},
        });
    }
    return QByteArray::fromStdString(answer.dump());
}

// The probe: a process that starts like the program, shows its window and says "frame"
// on standard output once the frame asked for is painted.
int runStartProbe(int argc, char** argv, const char* mode)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    const bool bare = std::strcmp(mode, "bare") == 0;
    if (!bare) {
        // The parent's backend and keychain file.
        Client::setServerPath(QString::fromLocal8Bit(argv[2]));
        KeychainStore::setSystem(KeychainStore::makeFileStore(QString::fromLocal8Bit(argv[3])));
        NEVPNManager::shared().setBackend(std::make_shared<StandInVPNBackend>(QString::fromLocal8Bit(argv[4])));
    }
    QMainWindow window;
    if (!bare) {
        window.setCentralWidget(new ContentView(&window));
    }
    window.resize(900, 700);
    window.show();
    const int expected = bare ? 0 : QString::fromLocal8Bit(argv[5]).toInt();
    const bool compact = Preferences::compactView();
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        bench::settle();
        if (bare && window.windowHandle() && window.windowHandle()->isExposed()) {
            window.repaint();
            break;
        }
        auto* regions = window.findChild<VPNRegionsView*>();
        auto* map = window.findChild<WorldMap*>();
        if (regions && regions->shownRegionIds().size() == expected &&
            (compact || (map && map->isVisible() && map->markers().size() == std::size_t(expected)))) {
            break;
        }
    }
    std::fputs("frame\n", stdout);
    std::fflush(stdout);
    return 0;
}

// Starts the probe in `mode` and waits for its frame: the time from the start to the line.
template <typename Arguments>
void measureStart(benchmark::State& state, const char* mode, Arguments arguments)
{
    for (auto _ : state) {
        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QEventLoop loop;
        QObject::connect(&probe, &QProcess::readyReadStandardOutput, &loop, [&] {
            if (probe.readAllStandardOutput().contains("frame")) {
                loop.quit();
            }
        });
        QObject::connect(&probe, &QProcess::finished, &loop, &QEventLoop::quit);
        QElapsedTimer clock;
        clock.start();
        probe.start(QCoreApplication::applicationFilePath(),
                    QStringList{QStringLiteral("--start-probe=%1").arg(QString::fromLatin1(mode))} + arguments());
        loop.exec();
        state.SetIterationTime(static_cast<double>(clock.nsecsElapsed()) / 1e9);
        probe.waitForFinished(20000);
        if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0) {
            state.SkipWithError("the probe failed");
            break;
        }
    }
}

// The main screen as it opens by default (the compact column), or the wide one with the map.
void BM_Start_MainScreen(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    Preferences::setCompactView(state.range(1) == 0);
    demo::DemoBackend backend;
    backend.listen(0);
    backend.setResponse("GET", QStringLiteral("users/me/regions"), 200, regionsAnswer(count));
    Preferences::setToken(backend.issueToken(demo::DemoBackend::demoEmail));
    Preferences::setEmail(demo::DemoBackend::demoEmail);
    measureStart(state, "main", [&] {
        return QStringList{backend.apiBase(), bench::ScreenEnvironment::keychainFile(),
                           bench::ScreenEnvironment::vpnConfigurationFile(), QString::number(count)};
    });
}

void BM_Baseline_Start(benchmark::State& state)
{
    measureStart(state, "bare", [] { return QStringList(); });
}

}  // namespace

BENCHMARK(BM_MainScreen_Resize)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_Resize)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Start_MainScreen)
    ->Args({200, 0})
    ->Args({200, 1})
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_Start)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (argc > 1 && std::strncmp(argv[1], "--start-probe=", 14) == 0) {
        return runStartProbe(argc, argv, argv[1] + 14);
    }
    return tandrel::bench::runBenchmarks(argc, argv);
}

// The region map with 200 and 10,000 regions, each job next to the plain Qt map of
// Baselines.h doing the same: a repaint of the world view, a frame of a pan (one drag step
// of the pointer, then the frame it asks for) and of a zoom (one wheel notch, then its
// frame), and the handler of one pointer move over the map.
#include "Baselines.h"
#include "RegionScreens.h"

#include "Controllers/TandrelController.h"
#include "Views/Map/MapViewForMacOS14.h"
#include "Views/Map/WorldMap.h"

#include <QMouseEvent>
#include <QWheelEvent>

namespace {

using namespace tandrel;

constexpr QSize kMapSize(600, 700);  // the map of a wide main window

// The memory counter starts once the controller holds the regions, which are its own
// whatever the map.
struct OurMap {
    TandrelController ctrl;
    std::unique_ptr<MapViewForMacOS14> view;
    WorldMap* map = nullptr;

    explicit OurMap(const std::vector<VPNRegion>& regions, double* heapUsed = nullptr)
    {
        ctrl.regions = regions;
        ctrl.currentRegion = regions.front().id;
        bench::settle();
        const double heapBefore = bench::heapInUseMB();
        view = std::make_unique<MapViewForMacOS14>(ctrl);
        map = view->findChild<WorldMap*>(QStringLiteral("worldMap"));
        view->resize(kMapSize);
        view->show();
        bench::settle();
        map->setCamera(MapViewForMacOS14::initialPosition);
        map->repaint();
        if (heapUsed) {
            *heapUsed = bench::heapInUseMB() - heapBefore;
        }
    }
    QWidget* canvas() const { return map; }
};

struct BaselineMap {
    double heapBefore = bench::heapInUseMB();  // before the map: members start in this order
    bench::BaselineMap map;

    explicit BaselineMap(const std::vector<VPNRegion>& regions, double* heapUsed = nullptr) : map(regions)
    {
        map.resize(kMapSize);
        map.show();
        bench::settle();
        map.repaint();
        if (heapUsed) {
            *heapUsed = bench::heapInUseMB() - heapBefore;
        }
    }
    QWidget* canvas() { return &map; }
};

// A repaint of the whole world in view.
template <typename Map>
void measurePaint(benchmark::State& state)
{
    double heapUsed = 0;
    Map map(bench::regionsOf(static_cast<int>(state.range(0))), &heapUsed);
    state.counters["heap_MB"] = heapUsed;
    state.counters["rss_MB"] = bench::residentMB();
    for (auto _ : state) {
        map.canvas()->repaint();
    }
}

void sendMouse(QWidget* widget, QEvent::Type type, QPointF point, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, point, widget->mapToGlobal(point),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

// A drag across the world view and back, one step of 6 pixels a frame.
template <typename Map>
void measurePan(benchmark::State& state)
{
    Map map(bench::regionsOf(static_cast<int>(state.range(0))));
    QWidget* canvas = map.canvas();
    QPointF pointer(300, 350);
    sendMouse(canvas, QEvent::MouseButtonPress, pointer, Qt::LeftButton);
    int step = 0;
    for (auto _ : state) {
        pointer.rx() += (step++ / 30) % 2 == 0 ? 6 : -6;
        sendMouse(canvas, QEvent::MouseMove, pointer, Qt::LeftButton);
        canvas->repaint();
    }
    sendMouse(canvas, QEvent::MouseButtonRelease, pointer, Qt::NoButton);
}

// Four wheel notches in about a point of Europe, then four out, one frame each.
template <typename Map>
void measureZoom(benchmark::State& state)
{
    Map map(bench::regionsOf(static_cast<int>(state.range(0))));
    QWidget* canvas = map.canvas();
    const QPointF pointer(320, 300);
    int step = 0;
    for (auto _ : state) {
        const int notch = (step++ / 4) % 2 == 0 ? 120 : -120;
        QWheelEvent wheel(pointer, canvas->mapToGlobal(pointer), {}, {0, notch}, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(canvas, &wheel);
        canvas->repaint();
    }
}

void BM_RegionMap_Paint(benchmark::State& state)
{
    measurePaint<OurMap>(state);
}

void BM_Baseline_Paint(benchmark::State& state)
{
    measurePaint<BaselineMap>(state);
}

void BM_RegionMap_Pan(benchmark::State& state)
{
    measurePan<OurMap>(state);
}

void BM_Baseline_Pan(benchmark::State& state)
{
    measurePan<BaselineMap>(state);
}

void BM_RegionMap_Zoom(benchmark::State& state)
{
    measureZoom<OurMap>(state);
}

void BM_Baseline_Zoom(benchmark::State& state)
{
    measureZoom<BaselineMap>(state);
}

// One pointer move without a button: the map finds the marker under it for the cursor.
void BM_RegionMap_Hover(benchmark::State& state)
{
    OurMap map(bench::regionsOf(static_cast<int>(state.range(0))));
    std::vector<QPointF> points;
    for (int y = 20; y < kMapSize.height(); y += 37) {
        for (int x = 15; x < kMapSize.width(); x += 41) {
            points.emplace_back(x, y);
        }
    }
    std::size_t next = 0;
    for (auto _ : state) {
        sendMouse(map.map, QEvent::MouseMove, points[next++ % points.size()], Qt::NoButton);
    }
}

}  // namespace

BENCHMARK(BM_RegionMap_Paint)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_Paint)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegionMap_Pan)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_Pan)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegionMap_Zoom)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_Zoom)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegionMap_Hover)->Arg(200)->Arg(10000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    return tandrel::bench::runBenchmarks(argc, argv);
}

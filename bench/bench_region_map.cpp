// The region map with 200 and 10,000 regions: a repaint of the world view next to a plain
// QPainter drawing the same number of circles and titles, and the handler of one pointer
// move over the map.
#include "RegionScreens.h"

#include "Controllers/TandrelController.h"
#include "Views/Map/MapViewForMacOS14.h"
#include "Views/Map/WorldMap.h"

#include <QMouseEvent>
#include <QPainter>

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

// The bare way: the markers' places worked out once, then a circle and a title per region.
class BaselineMap : public QWidget {
public:
    explicit BaselineMap(const std::vector<VPNRegion>& regions, double* heapUsed = nullptr)
    {
        const double heapBefore = bench::heapInUseMB();
        const MapViewport viewport = MapViewport::fitting(MapViewForMacOS14::initialPosition, QSizeF(kMapSize));
        for (const VPNRegion& region : regions) {
            m_places.push_back(viewport.toScreen(
                Mercator::project({region.location.latitude, region.location.longitude}), QSizeF(kMapSize)));
            m_titles.push_back(region.city);
        }
        resize(kMapSize);
        show();
        bench::settle();
        repaint();
        if (heapUsed) {
            *heapUsed = bench::heapInUseMB() - heapBefore;
        }
    }

    QWidget* canvas() { return this; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillRect(rect(), QColor(0xA9, 0xCF, 0xEE));
        QFont font = painter.font();
        font.setPixelSize(11);
        painter.setFont(font);
        for (std::size_t index = 0; index < m_places.size(); ++index) {
            const QPointF place = m_places[index];
            painter.setPen(QPen(Qt::white, 1.5));
            painter.setBrush(QColor(0x8E, 0x8E, 0x93));
            painter.drawEllipse(place, 8, 8);
            painter.setPen(Qt::black);
            painter.drawText(QRectF(place.x() - 60, place.y() + 10, 120, 14), Qt::AlignHCenter | Qt::AlignTop,
                             m_titles[index]);
        }
    }

private:
    std::vector<QPointF> m_places;
    QStringList m_titles;
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

void BM_RegionMap_Paint(benchmark::State& state)
{
    measurePaint<OurMap>(state);
}

void BM_Baseline_Paint(benchmark::State& state)
{
    measurePaint<BaselineMap>(state);
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
        const QPointF point = points[next++ % points.size()];
        QMouseEvent move(QEvent::MouseMove, point, map.map->mapToGlobal(point), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QCoreApplication::sendEvent(map.map, &move);
    }
}

}  // namespace

BENCHMARK(BM_RegionMap_Paint)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_Paint)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegionMap_Hover)->Arg(200)->Arg(10000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    return tandrel::bench::runBenchmarks(argc, argv);
}

// The region list with 200 and 10,000 regions: the list filled and its first frame
// painted, and one search keystroke followed by clearing the field, each next to the bare
// Qt way of the same job (a QListView over a filter proxy of a string list model).
#include "RegionScreens.h"

#include "Controllers/TandrelController.h"
#include "Views/VPNRegionsView.h"

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QSortFilterProxyModel>
#include <QStringListModel>

#include <map>

namespace {

using namespace tandrel;

constexpr QSize kColumn(300, 500);  // the main screen's column, below the connect button

const std::vector<VPNRegion>& regionsOf(int count)
{
    static std::map<int, std::vector<VPNRegion>> made;
    auto it = made.find(count);
    if (it == made.end()) {
        it = made.emplace(count, bench::sampleRegions(count)).first;
    }
    return it->second;
}

QStringList textsOf(int count)
{
    QStringList texts;
    for (const VPNRegion& region : regionsOf(count)) {
        texts << region.country_name + QLatin1Char('\n') + region.city;
    }
    return texts;
}

// Lets posted events and due timers run (the redraw a turn after a change, the list view's
// delayed layout), then paints what they left to be painted, as the next frame would.
void settle()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
}

// Counts the frames painted into a widget, so a benchmark can check that it measured one.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

// The list over a controller. The controller's regions are the controller's, whatever
// the list: the memory counter starts once they are loaded.
struct OurList {
    TandrelController ctrl;
    std::unique_ptr<VPNRegionsView> view;
    QLineEdit* field = nullptr;

    explicit OurList(const std::vector<VPNRegion>& regions, double* heapUsed = nullptr)
    {
        ctrl.regions = regions;
        settle();
        const double heapBefore = bench::heapInUseMB();
        view = std::make_unique<VPNRegionsView>(ctrl);
        field = view->findChild<QLineEdit*>(QStringLiteral("searchField"));
        view->resize(kColumn);
        view->show();
        settle();
        if (heapUsed) {
            *heapUsed = bench::heapInUseMB() - heapBefore;
        }
    }
    void show(std::vector<VPNRegion> regions)
    {
        ctrl.regions = std::move(regions);
        settle();
    }
    void type(const QString& letter)
    {
        QKeyEvent press(QEvent::KeyPress, letter.at(0).unicode(), Qt::NoModifier, letter);
        QCoreApplication::sendEvent(field, &press);
        settle();
    }
    void clear()
    {
        field->clear();
        settle();
    }
    QWidget* rows() const { return view->findChild<QListView*>(QStringLiteral("regionList"))->viewport(); }
};

struct BaselineList {
    QStringListModel source;
    QSortFilterProxyModel proxy;
    QListView view;

    explicit BaselineList(const QStringList& texts, double* heapUsed = nullptr)
    {
        const double heapBefore = bench::heapInUseMB();
        proxy.setSourceModel(&source);
        proxy.setFilterCaseSensitivity(Qt::CaseInsensitive);
        view.setModel(&proxy);
        view.resize(kColumn);
        view.show();
        settle();
        show(texts);
        if (heapUsed) {
            *heapUsed = bench::heapInUseMB() - heapBefore;
        }
    }
    void show(const QStringList& texts)
    {
        source.setStringList(texts);
        settle();
    }
    void filter(const QString& term)
    {
        proxy.setFilterFixedString(term);
        settle();
    }
    QWidget* rows() const { return view.viewport(); }
};

void BM_RegionList_Load(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const std::vector<VPNRegion>& regions = regionsOf(count);
    double heapUsed = 0;
    OurList list(regions, &heapUsed);
    state.counters["heap_MB"] = heapUsed;
    state.counters["rss_MB"] = bench::residentMB();
    PaintCounter frames(list.rows());
    for (auto _ : state) {
        state.PauseTiming();
        list.show({});
        std::vector<VPNRegion> answer = regions;
        const int before = frames.count;
        state.ResumeTiming();
        list.show(std::move(answer));
        if (frames.count == before) {
            state.SkipWithError("no frame painted");
            break;
        }
    }
}

void BM_Baseline_ListView(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const QStringList texts = textsOf(count);
    double heapUsed = 0;
    BaselineList list(texts, &heapUsed);
    state.counters["heap_MB"] = heapUsed;
    state.counters["rss_MB"] = bench::residentMB();
    PaintCounter frames(list.rows());
    for (auto _ : state) {
        state.PauseTiming();
        list.show({});
        const int before = frames.count;
        state.ResumeTiming();
        list.show(texts);
        if (frames.count == before) {
            state.SkipWithError("no frame painted");
            break;
        }
    }
}

// The first letter of a country typed, then the field cleared so every region returns.
void BM_RegionList_Filter(benchmark::State& state)
{
    OurList list(regionsOf(static_cast<int>(state.range(0))));
    double keystroke = 0;
    double clearing = 0;
    QElapsedTimer clock;
    PaintCounter frames(list.rows());
    for (auto _ : state) {
        clock.start();
        list.type(QStringLiteral("g"));
        keystroke += clock.nsecsElapsed() / 1e6;
        clock.start();
        list.clear();
        clearing += clock.nsecsElapsed() / 1e6;
    }
    state.counters["keystroke_ms"] = benchmark::Counter(keystroke, benchmark::Counter::kAvgIterations);
    state.counters["clear_ms"] = benchmark::Counter(clearing, benchmark::Counter::kAvgIterations);
    // Two frames per keystroke and clearing.
    state.counters["frames"] = benchmark::Counter(frames.count, benchmark::Counter::kAvgIterations);
}

void BM_Baseline_Filter(benchmark::State& state)
{
    BaselineList list(textsOf(static_cast<int>(state.range(0))));
    double keystroke = 0;
    double clearing = 0;
    QElapsedTimer clock;
    PaintCounter frames(list.rows());
    for (auto _ : state) {
        clock.start();
        list.filter(QStringLiteral("g"));
        keystroke += clock.nsecsElapsed() / 1e6;
        clock.start();
        list.filter(QString());
        clearing += clock.nsecsElapsed() / 1e6;
    }
    state.counters["keystroke_ms"] = benchmark::Counter(keystroke, benchmark::Counter::kAvgIterations);
    state.counters["clear_ms"] = benchmark::Counter(clearing, benchmark::Counter::kAvgIterations);
    // Two frames per keystroke and clearing.
    state.counters["frames"] = benchmark::Counter(frames.count, benchmark::Counter::kAvgIterations);
}

}  // namespace

BENCHMARK(BM_RegionList_Load)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_ListView)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegionList_Filter)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_Filter)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    return tandrel::bench::runBenchmarks(argc, argv);
}

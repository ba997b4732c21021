// The region list with 200 and 10,000 regions: the list filled and its first frame
// painted, and one search keystroke followed by clearing the field, each next to the bare
// Qt way of the same job (a QListView over a filter proxy of a string list model).
#include "RegionScreens.h"

#include "Controllers/TandrelController.h"
#include "Views/Regions/VPNRegionsView.h"

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QSortFilterProxyModel>
#include <QStringListModel>

namespace {

using namespace tandrel;

constexpr QSize kColumn(300, 500);  // the main screen's column, below the connect button

QStringList textsOf(int count)
{
    QStringList texts;
    for (const VPNRegion& region : bench::regionsOf(count)) {
        texts << region.country_name + QLatin1Char('\n') + region.city;
    }
    return texts;
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
        bench::settle();
        const double heapBefore = bench::heapInUseMB();
        view = std::make_unique<VPNRegionsView>(ctrl);
        field = view->findChild<QLineEdit*>(QStringLiteral("searchField"));
        view->resize(kColumn);
        view->show();
        bench::settle();
        if (heapUsed) {
            *heapUsed = bench::heapInUseMB() - heapBefore;
        }
    }
    void show(std::vector<VPNRegion> regions)
    {
        ctrl.regions = std::move(regions);
        bench::settle();
    }
    // A letter typed into the search field, or the field cleared for the empty term.
    void search(const QString& term)
    {
        if (term.isEmpty()) {
            field->clear();
        } else {
            QKeyEvent press(QEvent::KeyPress, term.at(0).unicode(), Qt::NoModifier, term.left(1));
            QCoreApplication::sendEvent(field, &press);
        }
        bench::settle();
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
        bench::settle();
        show(texts);
        if (heapUsed) {
            *heapUsed = bench::heapInUseMB() - heapBefore;
        }
    }
    void show(const QStringList& texts)
    {
        source.setStringList(texts);
        bench::settle();
    }
    void search(const QString& term)
    {
        proxy.setFilterFixedString(term);
        bench::settle();
    }
    QWidget* rows() const { return view.viewport(); }
};

// The list emptied, then the answer's rows shown and painted: the first frame of a load.
template <typename List, typename Rows>
void measureLoad(benchmark::State& state, const Rows& rows)
{
    double heapUsed = 0;
    List list(rows, &heapUsed);
    state.counters["heap_MB"] = heapUsed;
    state.counters["rss_MB"] = bench::residentMB();
    PaintCounter frames(list.rows());
    for (auto _ : state) {
        state.PauseTiming();
        list.show({});
        Rows answer = rows;
        const int before = frames.count;
        state.ResumeTiming();
        list.show(std::move(answer));
        if (frames.count == before) {
            state.SkipWithError("no frame painted");
            break;
        }
    }
}

// The first letter of a country typed, then the field cleared so every region returns.
template <typename List, typename Rows>
void measureFilter(benchmark::State& state, const Rows& rows)
{
    List list(rows);
    double keystroke = 0;
    double clearing = 0;
    QElapsedTimer clock;
    PaintCounter frames(list.rows());
    for (auto _ : state) {
        clock.start();
        list.search(QStringLiteral("g"));
        keystroke += clock.nsecsElapsed() / 1e6;
        clock.start();
        list.search(QString());
        clearing += clock.nsecsElapsed() / 1e6;
    }
    state.counters["keystroke_ms"] = benchmark::Counter(keystroke, benchmark::Counter::kAvgIterations);
    state.counters["clear_ms"] = benchmark::Counter(clearing, benchmark::Counter::kAvgIterations);
    // Two frames per keystroke and clearing.
    state.counters["frames"] = benchmark::Counter(frames.count, benchmark::Counter::kAvgIterations);
}

void BM_RegionList_Load(benchmark::State& state)
{
    measureLoad<OurList>(state, bench::regionsOf(static_cast<int>(state.range(0))));
}

void BM_Baseline_ListView(benchmark::State& state)
{
    measureLoad<BaselineList>(state, textsOf(static_cast<int>(state.range(0))));
}

void BM_RegionList_Filter(benchmark::State& state)
{
    measureFilter<OurList>(state, bench::regionsOf(static_cast<int>(state.range(0))));
}

void BM_Baseline_Filter(benchmark::State& state)
{
    measureFilter<BaselineList>(state, textsOf(static_cast<int>(state.range(0))));
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

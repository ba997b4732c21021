// The region list with 200 and 10,000 regions: the list filled and its first frame
// painted, one search keystroke followed by clearing the field, and a click selecting a
// region, each next to the plain Qt list of Baselines.h doing the same job.
#include "Baselines.h"
#include "RegionScreens.h"

#include "Controllers/TandrelController.h"
#include "Views/Regions/VPNRegionsView.h"

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>

namespace {

using namespace tandrel;

constexpr QSize kColumn(300, 500);  // the main screen's column, below the connect button

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
    QListView* list() const { return view->findChild<QListView*>(QStringLiteral("regionList")); }
    QWidget* rows() const { return list()->viewport(); }
};

// The plain list of Baselines.h in the same column.
struct BaselineList {
    TandrelController ctrl;
    double heapBefore = bench::heapInUseMB();  // before the list: members start in this order
    bench::BaselineList plain;

    // A click selects the region in the controller, as ours does (which also connects).
    explicit BaselineList(const std::vector<VPNRegion>& regions, double* heapUsed = nullptr)
    {
        ctrl.regions = regions;
        plain.selected = [this](qint64 regionId) { ctrl.didSelectRegion(regionId); };
        plain.resize(kColumn);
        plain.QWidget::show();
        bench::settle();
        show(regions);
        if (heapUsed) {
            *heapUsed = bench::heapInUseMB() - heapBefore;
        }
    }
    void show(const std::vector<VPNRegion>& regions) { plain.show(regions); }
    void search(const QString& term)
    {
        if (term.isEmpty()) {
            plain.field->clear();
        } else {
            QKeyEvent press(QEvent::KeyPress, term.at(0).unicode(), Qt::NoModifier, term.left(1));
            QCoreApplication::sendEvent(plain.field, &press);
        }
        bench::settle();
    }
    QWidget* rows() const { return plain.rows(); }
    QListView* list() const { return plain.view; }
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
    measureLoad<BaselineList>(state, bench::regionsOf(static_cast<int>(state.range(0))));
}

void BM_RegionList_Filter(benchmark::State& state)
{
    measureFilter<OurList>(state, bench::regionsOf(static_cast<int>(state.range(0))));
}

void BM_Baseline_Filter(benchmark::State& state)
{
    measureFilter<BaselineList>(state, bench::regionsOf(static_cast<int>(state.range(0))));
}

// A click on one of two rows in view, by turns: the press and release, and every turn of
// the event loop after it until the frame that shows the new selection is painted.
template <typename List>
void measureSelect(benchmark::State& state)
{
    List list(bench::regionsOf(static_cast<int>(state.range(0))));
    QListView* view = list.list();
    PaintCounter frames(list.rows());
    int turn = 0;
    for (auto _ : state) {
        const QPoint point = view->visualRect(view->model()->index(2 + turn++ % 2, 0)).center();
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent click(type, point, view->viewport()->mapToGlobal(point), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(view->viewport(), &click);
        }
        bench::settle();
        bench::settle();
    }
    state.counters["frames"] = benchmark::Counter(frames.count, benchmark::Counter::kAvgIterations);
}

void BM_RegionList_Select(benchmark::State& state)
{
    measureSelect<OurList>(state);
}

void BM_Baseline_Select(benchmark::State& state)
{
    measureSelect<BaselineList>(state);
}

}  // namespace

BENCHMARK(BM_RegionList_Load)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_ListView)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegionList_Filter)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_Filter)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegionList_Select)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_Select)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    return tandrel::bench::runBenchmarks(argc, argv);
}

#include "../Controllers/ServiceTesting.h"
#include "Controllers/TandrelController.h"
#include "Models/RegionSamples.h"
#include "Views/Regions/VPNRegionListModel.h"
#include "Views/Regions/VPNRegionsView.h"
#include "support/Screenshots.h"
#include "support/TestMain.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QScrollBar>
#include <QToolButton>
#include <QTranslator>
#include <QWheelEvent>

using namespace tandrel;
using testing::ServiceEnvironment;

namespace {

VPNRegion region(qint64 id, const QString& country, const QString& city)
{
    VPNRegion result;
    result.id = id;
    result.country_name = country;
    result.city = city;
    result.country_code = QStringLiteral("DE");
    result.short_name = QStringLiteral("de");
    result.continent = QStringLiteral("Europe");
    return result;
}

const std::vector<VPNRegion>& sampleRegions()
{
    static const std::vector<VPNRegion> regions{
        region(7, QStringLiteral("Optimal region\nGermany"), QStringLiteral("Frankfurt")),
        region(3, QStringLiteral("Austria"), QStringLiteral("Vienna")),
        region(9, QStringLiteral("Côte d'Ivoire"), QStringLiteral("Abidjan")),
        region(7, QStringLiteral("Germany"), QStringLiteral("Frankfurt")),
        region(5, QStringLiteral("United States"), QStringLiteral("New York")),
    };
    return regions;
}

QList<qint64> ids(const std::vector<VPNRegion>& regions)
{
    QList<qint64> result;
    for (const VPNRegion& each : regions) {
        result << each.id;
    }
    return result;
}

// The ids the list's model keeps under a search term, in order.
QList<qint64> shownUnder(const std::vector<VPNRegion>& regions, const QString& term)
{
    VPNRegionListModel model;
    model.setRegions(regions);
    model.setSearchTerm(term);
    QList<qint64> result;
    for (int row = 0; row < model.rowCount(); ++row) {
        result << model.regionAt(row).id;
    }
    return result;
}

QListView* listOf(const VPNRegionsView& view)
{
    return view.findChild<QListView*>(QStringLiteral("regionList"));
}

// What a screen reader hears for each row, top to bottom.
QStringList spokenRows(const VPNRegionsView& view)
{
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(listOf(view));
    QStringList names;
    for (int index = 0; index < list->childCount(); ++index) {
        names << list->child(index)->text(QAccessible::Name);
    }
    return names;
}

QString spokenName(const VPNRegion& region, bool selected)
{
    QStringList parts = region.country_name.split(QLatin1Char('\n'));
    parts << region.city;
    if (selected) {
        parts << QStringLiteral("selected");
    }
    return parts.join(QStringLiteral(", "));
}

bool rowIsSelected(const VPNRegionsView& view, int row)
{
    return spokenRows(view).value(row).endsWith(QStringLiteral(", selected"));
}

// The middle of a row's rounded background, in the list's viewport.
QPoint rowCentre(const VPNRegionsView& view, int row)
{
    const QListView* list = listOf(view);
    return list->visualRect(list->model()->index(row, 0)).center();
}

// The colour just inside a row's rounded background, left of the flag.
QColor rowBackground(const VPNRegionsView& view, int row)
{
    QListView* list = listOf(view);
    const QRect item = list->visualRect(list->model()->index(row, 0));
    return list->viewport()->grab().toImage().pixelColor(item.left() + 16 + 6, item.center().y());
}

}  // namespace

class VPNRegionsViewTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ServiceEnvironment> env;

    // Shows the list at the main screen's column width and waits for the regions.
    static void showLoaded(VPNRegionsView& view, const TandrelController& ctrl)
    {
        view.resize(300, 500);
        view.show();
        QTRY_VERIFY_WITH_TIMEOUT(view.shownRegionIds().size() > 3, 5000);
        QCOMPARE(view.shownRegionIds().size(), qsizetype(ctrl.regions().size()));
    }

private Q_SLOTS:
    void init()
    {
        env = std::make_unique<ServiceEnvironment>();
        env->signIn();
        Preferences::setConfigId(0);
    }
    void cleanup() { env.reset(); }

    void filterMatchesCountryOrCityIgnoringCase_data()
    {
        QTest::addColumn<QString>("term");
        QTest::addColumn<QList<qint64>>("kept");
        QTest::newRow("empty term keeps all in order") << QString() << QList<qint64>{7, 3, 9, 7, 5};
        QTest::newRow("capitals find a country") << QStringLiteral("AUST") << QList<qint64>{3};
        QTest::newRow("a city only") << QStringLiteral("york") << QList<qint64>{5};
        QTest::newRow("a space is a term") << QStringLiteral(" ") << QList<qint64>{7, 9, 5};
        QTest::newRow("optimal in any case") << QStringLiteral("oPtImAl") << QList<qint64>{7};
        QTest::newRow("the line feed of the optimal name") << QStringLiteral("region\nger") << QList<qint64>{7};
        QTest::newRow("a code only matches names") << QStringLiteral("de") << QList<qint64>{};
        QTest::newRow("accents still count") << QStringLiteral("cote") << QList<qint64>{};
        QTest::newRow("a decomposed accent matches") << QStringLiteral("co\u0302te") << QList<qint64>{9};
        QTest::newRow("no match") << QStringLiteral("Atlantis") << QList<qint64>{};
    }

    // The panel's second line says what went wrong: a network failure, an error from the
    // server, an answer not understood or too large.
    void failedLoadOffersARetry_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<int>("status");  // 0: the connection drops
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("hint");
        const QString english = "The regions could not be loaded.";
        const QString spanish = "No se pudieron cargar las regiones.";
        QTest::newRow("English, no network") << "en" << 0 << QByteArray() << english
                                             << "Check your internet connection and try again.";
        QTest::newRow("Spanish, no network") << "es" << 0 << QByteArray() << spanish
                                             << "Comprueba tu conexión a Internet e inténtalo de nuevo.";
        QTest::newRow("English, 500 with JSON") << "en" << 500 << QByteArray(R"({"message":"down"})") << english
                                                << "The server answered with an error. Please try again later.";
        QTest::newRow("Spanish, 503 page") << "es" << 503 << QByteArray("<html>busy</html>") << spanish
                                           << "El servidor respondió con un error. Inténtalo más tarde.";
        QTest::newRow("English, HTML page") << "en" << 200 << QByteArray("<html>hello</html>") << english
                                            << "The server's answer could not be understood. Please try again later.";
        QTest::newRow("English, wrong types") << "en" << 200 << QByteArray(R"([{"id":"seven"}])") << english
                                              << "The server's answer could not be understood. Please try again later.";
        QTest::newRow("English, 16 MiB of objects")
            << "en" << 200 << ("[" + QByteArray("{},").repeated(5592404) + "{}]") << english
            << "The server's answer was too large to read. Please try again later.";
    }

    // A load that fails with nothing listed says so in place of the list; Retry loads again.
    void failedLoadOffersARetry()
    {
        QFETCH(QString, language);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, said);
        QFETCH(QString, hint);
        QTranslator spanish;
        QTranslator spanishClient;
        if (language == QStringLiteral("es")) {
            QVERIFY(spanish.load(QStringLiteral(":/i18n/regionsloadfailedpanel_es.qm")));
            QVERIFY(spanishClient.load(QStringLiteral(":/i18n/client_es.qm")));
            QCoreApplication::installTranslator(&spanish);
            QCoreApplication::installTranslator(&spanishClient);
        }
        if (status == 0) {
            env->answer("GET", QStringLiteral("users/me/regions"), {});
        } else {
            env->backend.setResponse("GET", QStringLiteral("users/me/regions"), status, body);
        }
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        view.resize(300, 500);
        view.show();
        auto* panel = view.findChild<QWidget*>(QStringLiteral("regionsLoadFailedPanel"));
        QVERIFY(panel);
        QTRY_VERIFY_WITH_TIMEOUT(panel->isVisible(), 10000);
        QVERIFY(!view.findChild<QWidget*>(QStringLiteral("regionList"))->isVisible());
        QCOMPARE(view.findChild<QLabel*>(QStringLiteral("regionsLoadFailedText"))->text(), said);
        QTRY_COMPARE(view.findChild<QLabel*>(QStringLiteral("regionsLoadFailedHint"))->text(), hint);
        testing::saveScreenshot(&view, QStringLiteral("regions-load-failed-%1-%2").arg(language).arg(status));
        QCoreApplication::removeTranslator(&spanish);
        QCoreApplication::removeTranslator(&spanishClient);

        env->backend.clearFaults();
        const qsizetype loadsBefore = env->requestCount("GET", QStringLiteral("users/me/regions"));
        const qsizetype plansBefore = env->requestCount("GET", QStringLiteral("users/me/plan"));
        QTest::mouseClick(view.findChild<QAbstractButton*>(QStringLiteral("regionsRetryButton")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(view.shownRegionIds().size() > 3, 5000);
        QCOMPARE(env->requestCount("GET", QStringLiteral("users/me/regions")), loadsBefore + 1);
        // The plan text failed with them; Retry loads it again too.
        QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("GET", QStringLiteral("users/me/plan")), plansBefore + 1, 5000);
        QTRY_VERIFY(!panel->isVisible());
        QVERIFY(view.findChild<QWidget*>(QStringLiteral("regionList"))->isVisible());

        // A later failed load keeps the list that is there: nothing to retry in its place.
        env->answer("GET", QStringLiteral("users/me/regions"), {});
        ctrl.loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.regionsLoadFailed(), 10000);
        QTest::qWait(50);
        QVERIFY(!panel->isVisible());
        QVERIFY(view.shownRegionIds().size() > 3);
    }

    void filterMatchesCountryOrCityIgnoringCase()
    {
        QFETCH(QString, term);
        QFETCH(QList<qint64>, kept);
        QCOMPARE(shownUnder(sampleRegions(), term), kept);
    }

    void everyShowingLoadsRegionsThenThePlan()
    {
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        view.show();
        QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("GET", QStringLiteral("users/me/plan")), 1, 5000);
        QCOMPARE(env->requestCount("GET", QStringLiteral("users/me/regions")), 1);
        const QList<demo::RecordedRequest> requests = env->backend.requests();
        const auto indexOf = [&](const QByteArray& path) {
            for (qsizetype index = 0; index < requests.size(); ++index) {
                if (requests[index].path() == path) {
                    return index;
                }
            }
            return qsizetype(-1);
        };
        QVERIFY(indexOf("/api/users/me/regions") < indexOf("/api/users/me/plan"));
        QTRY_VERIFY_WITH_TIMEOUT(!view.shownRegionIds().isEmpty(), 5000);

        view.hide();
        view.show();
        QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("GET", QStringLiteral("users/me/plan")), 2, 5000);
        QCOMPARE(env->requestCount("GET", QStringLiteral("users/me/regions")), 2);
    }

    void rowsFollowTheControllerAndTheSearchField()
    {
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        showLoaded(view, ctrl);
        QCOMPARE(view.shownRegionIds(), ids(ctrl.regions()));
        // The first load selects the optimal entry, and only its row is marked, also for
        // a screen reader.
        QTRY_VERIFY(rowIsSelected(view, 0));
        QVERIFY(spokenRows(view).first().startsWith(QStringLiteral("Optimal region, ")));
        for (std::size_t row = 0; row < ctrl.regions().size(); ++row) {
            QCOMPARE(spokenRows(view)[int(row)], spokenName(ctrl.regions()[row], row == 0));
        }

        auto* field = view.findChild<QLineEdit*>(QStringLiteral("searchField"));
        auto* clear = view.findChild<QToolButton*>(QStringLiteral("clearSearchButton"));
        QVERIFY(!clear->isVisible());
        const VPNRegion& target = ctrl.regions().back();
        QTest::keyClicks(field, target.city.toUpper());
        QVERIFY(clear->isVisible());
        QCOMPARE(view.shownRegionIds(), shownUnder(ctrl.regions(), target.city.toUpper()));
        QVERIFY(view.shownRegionIds().contains(target.id));
        QTest::qWait(250);  // the clear button's fade-in, for the picture only
        testing::saveScreenshot(&view, QStringLiteral("regions-search"));

        QTest::keyClicks(field, QStringLiteral("zzzz"));
        QVERIFY(view.shownRegionIds().isEmpty());
        QCOMPARE(spokenRows(view), QStringList());
        QVERIFY(view.findChild<QLabel*>(QStringLiteral("regionListCaption"))->isVisible());

        QTest::mouseClick(clear, Qt::LeftButton);
        QCOMPARE(field->text(), QString());
        QVERIFY(!clear->isVisible());
        QCOMPARE(view.shownRegionIds(), ids(ctrl.regions()));
    }

    void tapSelectsTheRegionEveryTime()
    {
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        showLoaded(view, ctrl);
        const VPNRegion target = ctrl.regions()[2];
        QWidget* rows = listOf(view)->viewport();

        // The margins beside a row are not the row.
        QTest::mouseClick(rows, Qt::LeftButton, {}, QPoint(6, rowCentre(view, 2).y()));
        QCOMPARE(ctrl.currentRegion(), std::optional<qint64>(ctrl.regions()[0].id));

        QTest::mouseClick(rows, Qt::LeftButton, {}, rowCentre(view, 2));
        QCOMPARE(ctrl.currentRegion(), std::optional<qint64>(target.id));
        QCOMPARE(Preferences::configId(), target.id);
        QTRY_VERIFY(rowIsSelected(view, 2));
        QVERIFY(!rowIsSelected(view, 0));
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::connected, 10000);

        // The selected row again: the controller hears it again and disconnects.
        QTest::mouseClick(rows, Qt::LeftButton, {}, rowCentre(view, 2));
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::disconnected, 10000);
        QVERIFY(rowIsSelected(view, 2));
    }

    // Tab from the search field to the rows, the arrows to a region, Return or Space to
    // choose it: the same path as a click.
    void keyboardAloneSelectsARegion()
    {
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        showLoaded(view, ctrl);
        QTRY_VERIFY(rowIsSelected(view, 0));
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        view.findChild<QLineEdit*>(QStringLiteral("searchField"))->setFocus();
        QTRY_VERIFY(QApplication::focusWidget());

        const QRect current = listOf(view)->visualRect(listOf(view)->model()->index(0, 0));
        // On the left edge of the row's rounded background, where its outline runs.
        const auto edge = [&] {
            return listOf(view)->viewport()->grab().toImage().pixelColor(current.left() + 16 + 1, current.center().y());
        };
        const QColor unfocused = edge();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), listOf(view));
        // The row the keyboard is on shows it at once.
        QVERIFY2(edge().red() < unfocused.red() - 40, qPrintable(edge().name() + unfocused.name()));
        // The keyboard starts on the current region's row.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(ctrl.currentRegion(), std::optional<qint64>(ctrl.regions()[2].id));
        QTRY_COMPARE(spokenRows(view)[2], spokenName(ctrl.regions()[2], true));
        testing::saveScreenshot(&view, QStringLiteral("regions-keyboard"));

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QCOMPARE(ctrl.currentRegion(), std::optional<qint64>(ctrl.regions()[1].id));
        QTRY_VERIFY(rowIsSelected(view, 1));
        QVERIFY(!rowIsSelected(view, 2));

        // Far down the list, the row reached is scrolled into view.
        for (std::size_t step = 1; step < ctrl.regions().size(); ++step) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(ctrl.currentRegion(), std::optional<qint64>(ctrl.regions().back().id));
        const int last = int(ctrl.regions().size()) - 1;
        QVERIFY(listOf(view)->viewport()->rect().contains(rowCentre(view, last)));
    }

    // Selected rows are blue, hovered ones a darker gray than the rest, each eased in. The
    // hovered row is the one under the pointer, also after the wheel slid other rows under
    // a pointer that did not move.
    void rowsShowSelectionAndHover()
    {
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        showLoaded(view, ctrl);
        QTRY_VERIFY(rowIsSelected(view, 0));
        QWidget* rows = listOf(view)->viewport();
        const auto background = [&view](int row) { return rowBackground(view, row); };
        QTest::mouseMove(rows, QPoint(2, 2));  // the pointer off every row, wherever it was
        QTest::qWait(250);
        const QColor selected = background(0);
        const QColor plain = background(1);
        QVERIFY2(selected.blue() > selected.red() + 20, qPrintable(selected.name()));
        QVERIFY2(plain.blue() - plain.red() < 10, qPrintable(plain.name()));

        QTest::mouseMove(rows, rowCentre(view, 1));
        QTRY_VERIFY_WITH_TIMEOUT(background(1).lightness() < plain.lightness(), 1000);
        QTest::qWait(250);
        const QColor hovered = background(1);
        QVERIFY2(hovered.blue() - hovered.red() < 10, qPrintable(hovered.name()));
        QCOMPARE(rows->cursor().shape(), Qt::PointingHandCursor);

        const QPoint pointer = rowCentre(view, 1);
        QWheelEvent wheel(QPointF(pointer), QPointF(rows->mapToGlobal(pointer)), {}, {0, -120}, Qt::NoButton, {},
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(rows, &wheel);
        QTest::qWait(250);
        const int under = listOf(view)->indexAt(pointer).row();
        QVERIFY(under > 1);
        QCOMPARE(background(under), hovered);
        // Its neighbour (of another region than the current one) is plain again.
        const int neighbour = rowIsSelected(view, under + 1) ? under - 1 : under + 1;
        QCOMPARE(background(neighbour), plain);
    }

    // Two rows of one region (as the optimal entry and its region's own row are) are rows
    // of their own: the pointer over one of them hovers that row alone.
    void everyRegionGetsItsOwnRowEvenWithARepeatedId()
    {
        const nlohmann::json answer = {testing::regionJson(4, "Austria", true, 100, 10),
                                       testing::regionJson(8, "Belgium", false, 300, 10),
                                       testing::regionJson(8, "Belgium", false, 300, 10)};
        env->answer("GET", QStringLiteral("users/me/regions"), QByteArray::fromStdString(answer.dump()));
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        view.resize(300, 500);
        view.show();
        QTRY_COMPARE_WITH_TIMEOUT(view.shownRegionIds().size(), qsizetype(3), 5000);
        QCOMPARE(view.shownRegionIds(), ids(ctrl.regions()));
        QCOMPARE(view.shownRegionIds().count(8), 2);
        QCOMPARE(spokenRows(view).size(), 3);

        const int first = int(view.shownRegionIds().indexOf(8));
        const int second = int(view.shownRegionIds().lastIndexOf(8));
        QTRY_VERIFY(!rowIsSelected(view, first) && !rowIsSelected(view, second));
        QWidget* rows = listOf(view)->viewport();
        QTest::mouseMove(rows, QPoint(2, 2));  // the pointer off every row, wherever it was
        QTest::qWait(250);
        const auto background = [&view](int row) { return rowBackground(view, row); };
        const QColor plain = background(second);
        QTest::mouseMove(rows, rowCentre(view, first));
        QTRY_VERIFY_WITH_TIMEOUT(background(first).lightness() < plain.lightness(), 1000);
        QTest::qWait(250);
        QCOMPARE(background(second), plain);
        // The list reloads as it is shown again and keeps its rows.
        view.hide();
        view.show();
        QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("GET", QStringLiteral("users/me/regions")), 2, 5000);
        QTest::qWait(50);
        QCOMPARE(view.shownRegionIds(), ids(ctrl.regions()));
    }

    // In the compact column the names have about a hundred pixels: a long name wraps
    // between its words (the row grows taller) instead of running past the row's edge.
    void longNamesWrapWholeWordsInTheColumn()
    {
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        showLoaded(view, ctrl);
        QTRY_VERIFY(rowIsSelected(view, 0));
        QTest::qWait(250);
        QListView* list = listOf(view);
        const auto rowHeight = [&](int row) { return list->visualRect(list->model()->index(row, 0)).height(); };
        int shortRow = -1;
        int longRow = -1;
        for (int row = 1; row < int(ctrl.regions().size()); ++row) {
            const QString& name = ctrl.regions()[std::size_t(row)].country_name;
            if (name == QStringLiteral("Austria")) {
                shortRow = row;
            } else if (name == QStringLiteral("United Arab Emirates")) {
                longRow = row;
            }
        }
        QVERIFY(shortRow > 0 && longRow > 0);
        // Two lines of name (the optimal entry's label and country), and a wrapped one.
        QVERIFY(rowHeight(0) > rowHeight(shortRow));
        QVERIFY(rowHeight(longRow) > rowHeight(shortRow));
        list->scrollTo(list->model()->index(longRow, 0));
        QCoreApplication::processEvents();
        // No text runs into the row's right padding: there the row is its plain tint.
        const QImage picture = list->viewport()->grab().toImage();
        const QRect item = list->visualRect(list->model()->index(longRow, 0));
        const QRect padding(item.right() - 16 - 11, item.top() + 8, 8, item.height() - 16);
        const QColor tint = picture.pixelColor(padding.topLeft());
        for (int y = padding.top(); y <= padding.bottom(); ++y) {
            for (int x = padding.left(); x <= padding.right(); ++x) {
                QVERIFY2(qAbs(picture.pixelColor(x, y).lightness() - tint.lightness()) < 24,
                         qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
            }
        }
        testing::saveScreenshot(&view, QStringLiteral("regions-compact-column"));
    }

    // A search that leaves a few rows takes the scroll bar away, and clearing it with the
    // field's button brings the bar and every row back: each row is then as tall as its
    // names need at the width the rows now have, also where the optimal entry wraps
    // differently with and without the bar (the list widens until it does).
    void rowsFitTheirNamesAfterTheSearchIsCleared()
    {
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        showLoaded(view, ctrl);
        QTRY_VERIFY(rowIsSelected(view, 0));
        QListView* list = listOf(view);
        auto* field = view.findChild<QLineEdit*>(QStringLiteral("searchField"));
        auto* clear = view.findChild<QToolButton*>(QStringLiteral("clearSearchButton"));
        const auto rowsFit = [list] {
            for (int row = 0; row < list->model()->rowCount(); ++row) {
                const QModelIndex index = list->model()->index(row, 0);
                QStyleOptionViewItem option;
                option.initFrom(list);
                if (list->visualRect(index).height() != list->itemDelegate()->sizeHint(option, index).height()) {
                    return false;
                }
            }
            return true;
        };
        const auto optimalHeight = [list] { return list->visualRect(list->model()->index(0, 0)).height(); };
        bool wrapsDifferently = false;
        for (int width = 240; width <= 480 && !wrapsDifferently; width += 6) {
            view.resize(width, 500);
            QTRY_VERIFY_WITH_TIMEOUT(list->verticalScrollBar()->isVisible() && rowsFit(), 2000);
            QTest::keyClicks(field, ctrl.regions().front().city);
            QTRY_VERIFY_WITH_TIMEOUT(!list->verticalScrollBar()->isVisible() && rowsFit(), 2000);
            const int withoutBar = optimalHeight();

            QTest::mouseClick(clear, Qt::LeftButton);
            QCOMPARE(view.shownRegionIds(), ids(ctrl.regions()));
            QTRY_VERIFY_WITH_TIMEOUT(list->verticalScrollBar()->isVisible(), 2000);
            QTRY_VERIFY2_WITH_TIMEOUT(rowsFit(), qPrintable(QStringLiteral("at %1 wide").arg(width)), 2000);
            wrapsDifferently = optimalHeight() != withoutBar;
        }
        QVERIFY(wrapsDifferently);
    }

    void noRowIsMarkedForAnUnlistedSelection()
    {
        Preferences::setConfigId(424242);
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        showLoaded(view, ctrl);
        QTest::qWait(50);
        for (const QString& spoken : spokenRows(view)) {
            QVERIFY2(!spoken.endsWith(QStringLiteral(", selected")), qPrintable(spoken));
        }
    }
};

TANDREL_TEST_MAIN_WIDGETS(VPNRegionsViewTest)
#include "tst_vpnregionsview.moc"

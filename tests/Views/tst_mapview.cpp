#include "Classes/Preferences.h"
#include "Controllers/ServiceTesting.h"
#include "Controllers/TandrelController.h"
#include "Models/RegionSamples.h"
#include "Platform/MainQueue.h"
#include "Views/Map/LandShapes.h"
#include "Views/Map/MapCoordinate.h"
#include "Views/Map/MapView.h"
#include "Views/Map/MapViewForMacOS14.h"
#include "Views/Map/MapViewLegacy.h"
#include "Views/Map/MapViewport.h"
#include "Views/Map/WorldMap.h"
#include "support/CapturedOutput.h"
#include "support/Screenshots.h"
#include "support/TestMain.h"

#include <QApplication>
#include <QTranslator>
#include <QVBoxLayout>
#include <QtTest>

#include <cmath>
#include <limits>
#include <numbers>

using namespace tandrel;
using nlohmann::json;
using testing::regionJson;
using testing::ServiceEnvironment;

Q_DECLARE_METATYPE(std::optional<qint64>)

namespace {

constexpr double kTolerance = 1e-6;
const QColor kGreen = RegionMap::currentTint;
const QColor kGray = RegionMap::otherTint;

json city(qint64 id, const char* country, const char* name, double latitude, double longitude, bool nearest = false)
{
    json region = regionJson(id, country, nearest, 1000 + id, 10);
    region["city"] = name;
    region["location"] = {{"latitude", latitude}, {"longitude", longitude}};
    return region;
}

// Six servers round the world; Frankfurt is the only nearest one, so it becomes the
// optimal entry and the first selection.
json worldRegions()
{
    return json::array({city(1, "Germany", "Frankfurt", 50.11, 8.68, true),
                        city(2, "United States", "New York", 40.71, -74.01), city(3, "Japan", "Tokyo", 35.68, 139.69),
                        city(4, "Brazil", "São Paulo", -23.55, -46.63), city(5, "Australia", "Sydney", -33.87, 151.21),
                        city(6, "United Kingdom", "London", 51.51, -0.13)});
}

MapCoordinate coordinateOf(const VPNRegion& region)
{
    return {region.location.latitude, region.location.longitude};
}

bool near(double a, double b, double tolerance = kTolerance)
{
    return std::abs(a - b) <= tolerance;
}

}  // namespace

class MapViewTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ServiceEnvironment> env;
    std::unique_ptr<TandrelController> controller;
    std::unique_ptr<QWidget> window;
    WorldMap* map = nullptr;

    // A wide main window's map: 600 by 700, shown, over a controller on the stand-in backend.
    void showMap(const json& regions, bool legacy = false)
    {
        env->backend.setResponse("GET", QStringLiteral("users/me/regions"), 200,
                                 QByteArray::fromStdString(regions.dump()));
        controller = std::make_unique<TandrelController>();
        window = std::make_unique<QWidget>();
        window->resize(600, 700);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(legacy ? static_cast<QWidget*>(new MapViewLegacy(*controller, window.get()))
                                 : new MapView(*controller, window.get()));
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        map = window->findChild<WorldMap*>(QStringLiteral("worldMap"));
        QVERIFY(map);
    }

    void loadRegions()
    {
        controller->loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(!map->markers().empty() && controller->currentRegion() != 0, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!map->isAnimating(), 5000);
    }

    // Lets every block already queued on the main queue run.
    static void waitForTheMainQueue()
    {
        auto ran = std::make_shared<bool>(false);
        MainQueue::async([ran] { *ran = true; });
        QTRY_VERIFY_WITH_TIMEOUT(*ran, 5000);
    }

    const MapMarker* marker(qint64 tag) const
    {
        for (const MapMarker& m : map->markers()) {
            if (m.tag == tag) {
                return &m;
            }
        }
        return nullptr;
    }

    void clickMarker(qint64 tag)
    {
        const QPointF tip = map->screenPosition(marker(tag)->coordinate);
        QVERIFY(map->markerAt(tip - QPointF(0, 15)) == tag);
        QTest::mouseClick(map, Qt::LeftButton, {}, (tip - QPointF(0, 15)).toPoint());
    }

private slots:
    void init()
    {
        env = std::make_unique<ServiceEnvironment>();
        env->signIn();
    }
    void cleanup()
    {
        window.reset();
        controller.reset();
        env.reset();
        map = nullptr;
    }

    // --- geometry ---

    void projectionRoundTripsAtKnownCities_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::newRow("Null Island") << 0.0 << 0.0;
        QTest::newRow("Berlin") << 52.52 << 13.405;
        QTest::newRow("New York") << 40.7128 << -74.006;
        QTest::newRow("Sydney") << -33.8688 << 151.2093;
        QTest::newRow("Reykjavik") << 64.1466 << -21.9426;
        QTest::newRow("Honolulu") << 21.3069 << -157.8583;
        QTest::newRow("Suva, near the antimeridian") << -18.1248 << 178.4501;
    }
    void projectionRoundTripsAtKnownCities()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        const QPointF point = Mercator::project({latitude, longitude});
        // Web Mercator's y written the other way round: asinh(tan φ) = ln tan(π/4 + φ/2).
        const double radians = latitude * std::numbers::pi / 180;
        QVERIFY(near(point.x(), (longitude + 180) / 360));
        QVERIFY(near(point.y(), 0.5 - std::asinh(std::tan(radians)) / (2 * std::numbers::pi)));
        const MapCoordinate back = Mercator::unproject(point);
        QVERIFY2(near(back.latitude, latitude, 1e-9) && near(back.longitude, longitude, 1e-9),
                 qPrintable(QStringLiteral("%1, %2").arg(back.latitude).arg(back.longitude)));
    }

    void projectionStopsAtItsEdges()
    {
        QCOMPARE(Mercator::project({89.9, 0}).y(), Mercator::project({Mercator::maximumLatitude, 0}).y());
        QVERIFY(near(Mercator::project({Mercator::maximumLatitude, 0}).y(), 0));
        QVERIFY(near(Mercator::project({-90, 0}).y(), 1));
        QVERIFY(near(Mercator::unproject({1.25, 0.5}).longitude, -90));  // a quarter past the seam
    }

    void coordinateValidity_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<bool>("valid");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QTest::newRow("the corners") << 90.0 << 180.0 << true;
        QTest::newRow("the other corners") << -90.0 << -180.0 << true;
        QTest::newRow("latitude 95") << 95.0 << 10.0 << false;
        QTest::newRow("latitude -90.5") << -90.5 << 10.0 << false;
        QTest::newRow("longitude 180.5") << 10.0 << 180.5 << false;
        QTest::newRow("longitude -200") << 10.0 << -200.0 << false;
        QTest::newRow("not a number") << nan << 0.0 << false;
        QTest::newRow("longitude not a number") << 0.0 << nan << false;
    }
    void coordinateValidity()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(bool, valid);
        QCOMPARE((MapCoordinate{latitude, longitude}.isValid()), valid);
    }

    void regionFromDistances_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("metres");
        QTest::addColumn<double>("latitudeDelta");
        QTest::addColumn<double>("longitudeDelta");
        const double perDegree = 6378137.0 * std::numbers::pi / 180;
        QTest::newRow("equator") << 0.0 << 10e6 << 10e6 / perDegree << 10e6 / perDegree;
        QTest::newRow("60 north: a degree east is half as long") << 60.0 << 1e6 << 1e6 / perDegree << 2e6 / perDegree;
        QTest::newRow("the first camera's size at 54 north")
            << 54.0 << 20e6 << 20e6 / perDegree << 20e6 / (perDegree * std::cos(54 * std::numbers::pi / 180));
        QTest::newRow("more than the globe") << 0.0 << 50e6 << 180.0 << 360.0;
        QTest::newRow("the pole") << 90.0 << 1e6 << 1e6 / perDegree << 360.0;
    }
    void regionFromDistances()
    {
        QFETCH(double, latitude);
        QFETCH(double, metres);
        QFETCH(double, latitudeDelta);
        QFETCH(double, longitudeDelta);
        const auto region = MapCoordinateRegion::withDistances({latitude, 15}, metres, metres);
        QCOMPARE(region.center, (MapCoordinate{latitude, 15}));
        QVERIFY2(near(region.span.latitudeDelta, latitudeDelta, 1e-9),
                 qPrintable(QString::number(region.span.latitudeDelta)));
        QVERIFY2(near(region.span.longitudeDelta, longitudeDelta, 1e-9),
                 qPrintable(QString::number(region.span.longitudeDelta)));
    }

    void cameraShowsTheWholeRegion_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<double>("latitudeDelta");
        QTest::addColumn<double>("longitudeDelta");
        QTest::newRow("a region's camera at Frankfurt") << 50.11 << 8.68 << 20.0 << 40.0;
        QTest::newRow("a region's camera at Sydney") << -33.87 << 151.21 << 20.0 << 40.0;
        QTest::newRow("tall and narrow") << 10.0 << 10.0 << 60.0 << 5.0;
        QTest::newRow("across the antimeridian") << 0.0 << 179.0 << 10.0 << 30.0;
    }
    void cameraShowsTheWholeRegion()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(double, latitudeDelta);
        QFETCH(double, longitudeDelta);
        const QSizeF size(600, 700);
        const MapCoordinateRegion wanted{{latitude, longitude}, {latitudeDelta, longitudeDelta}};
        const MapViewport viewport = MapViewport::fitting(wanted, size);
        const QPointF center = viewport.toScreen(Mercator::project(wanted.center), size);
        QVERIFY(near(center.x(), 300, 1e-6) && near(center.y(), 350, 1e-6));
        // The four edges of the region are on screen, and one pair of them touches the border.
        const QPointF north = viewport.toScreen(Mercator::project({latitude + latitudeDelta / 2, longitude}), size);
        const QPointF south = viewport.toScreen(Mercator::project({latitude - latitudeDelta / 2, longitude}), size);
        const double halfWidth = longitudeDelta / 360 / 2 * viewport.scale;
        QVERIFY(north.y() >= -1e-6 && south.y() <= 700 + 1e-6 && halfWidth <= 300 + 1e-6);
        QVERIFY(near(halfWidth, 300, 1e-6) || near(north.y(), 0, 1e-6) || near(south.y(), 700, 1e-6));
        const MapCoordinateRegion shown = viewport.region(size);
        QVERIFY(near(shown.center.latitude, latitude, 1e-9) && near(shown.center.longitude, longitude, 1e-9));
        QVERIFY(shown.span.latitudeDelta >= latitudeDelta - 1e-9 && shown.span.longitudeDelta >= longitudeDelta - 1e-9);
    }

    void cameraKeepsWithinTheWorld()
    {
        const QSizeF size(600, 700);
        // The first camera asks for more than the world: the world fills the height.
        const MapViewport first = MapViewport::fitting(MapViewForMacOS14::initialPosition, size);
        QCOMPARE(first.scale, 700.0);
        QVERIFY(near(first.center.y(), 0.5));
        QVERIFY(near(first.center.x(), (15.0 + 180) / 360));
        // No deeper than the deepest zoom, and a centre east of 180 wraps round.
        const MapViewport tiny = MapViewport::fitting({{0, 190}, {0.0001, 0.0001}}, size);
        QCOMPARE(tiny.scale, MapViewport::maximumScale);
        QVERIFY(near(Mercator::unproject(tiny.center).longitude, -170));
        // Half-way along a move from Frankfurt to Tokyo: the centre moves, the zoom stays.
        const MapViewport frankfurt = MapViewport::fitting({{50, 8}, {20, 40}}, size);
        const MapViewport honolulu = MapViewport::fitting({{50, -160}, {20, 40}}, size);
        const MapViewport halfway = frankfurt.interpolated(honolulu, 0.5);
        QVERIFY(near(halfway.scale, frankfurt.scale, 1e-6));
        QVERIFY(near(Mercator::unproject(halfway.center).longitude, -76));
    }

    void topologyDecodesQuantizedArcs()
    {
        // A square with a triangular hole; the hole's arc is walked backwards (~1).
        const json topology = {
            {"type", "Topology"},
            {"transform", {{"scale", {0.5, 0.25}}, {"translate", {-10, 20}}}},
            {"arcs", {{{0, 0}, {20, 0}, {0, 40}, {-20, 0}, {0, -40}}, {{4, 4}, {0, 8}, {4, -4}, {-4, -4}}}},
            {"objects",
             {{"land",
               {{"type", "GeometryCollection"}, {"geometries", {{{"type", "Polygon"}, {"arcs", {{0}, {~1}}}}}}}}}}};
        const auto shapes =
            LandShapes::fromTopoJSON(QByteArray::fromStdString(topology.dump()), QStringLiteral("land"));
        QVERIFY(shapes);
        QCOMPARE(shapes->polygons().size(), 1u);
        const LandShapes::Polygon& polygon = shapes->polygons().front();
        QCOMPARE(polygon.size(), 2u);
        QCOMPARE(polygon[0].size(), 5u);
        QCOMPARE(polygon[0][1], (MapCoordinate{20, 0}));  // x 20 * 0.5 - 10, y 0 * 0.25 + 20
        QCOMPARE(polygon[0][2], (MapCoordinate{30, 0}));
        // Walked backwards: (4,4) (8,8) (4,12) (4,4) before the transform.
        QCOMPARE(polygon[1].size(), 4u);
        QCOMPARE(polygon[1][1], (MapCoordinate{22, -6}));
        QCOMPARE(polygon[1][2], (MapCoordinate{23, -8}));
        QVERIFY(shapes->contains(Mercator::project({25, -4})));   // inside the square
        QVERIFY(!shapes->contains(Mercator::project({22, -7})));  // inside the hole
    }

    void brokenTopologiesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("data");
        const auto topology = [](const json& arcs, const json& geometry) {
            return QByteArray::fromStdString(
                json{{"type", "Topology"}, {"arcs", arcs}, {"objects", {{"land", geometry}}}}.dump());
        };
        const json square = {{{0, 0}, {1, 0}, {1, 1}, {0, 0}}};
        QTest::newRow("not JSON") << QByteArray("{\"type\": \"Topo");
        QTest::newRow("not a topology") << QByteArray(R"({"type": "FeatureCollection", "features": []})");
        QTest::newRow("an arc it does not hold") << topology(square, {{"type", "Polygon"}, {"arcs", {{0, 1}}}});
        QTest::newRow("a reversed arc it does not hold") << topology(square, {{"type", "Polygon"}, {"arcs", {{~3}}}});
        QTest::newRow("a position that is text") << topology({{{0, "north"}}}, {{"type", "Polygon"}, {"arcs", {{0}}}});
        QTest::newRow("no such object") << topology(square, nullptr);
        QTest::newRow("arcs that are not a list") << topology(json::object(), {{"type", "Polygon"}, {"arcs", {{0}}}});
    }
    void brokenTopologiesAreRefused()
    {
        QFETCH(QByteArray, data);
        QVERIFY(!LandShapes::fromTopoJSON(data, QStringLiteral("land")));
    }

    void bundledWorldDecodes()
    {
        if (!QFile::exists(QStringLiteral(":/map/land-50m.json"))) {
            QSKIP("built without map data");
        }
        for (const auto detail : {LandShapes::Detail::overview, LandShapes::Detail::full}) {
            const auto world = LandShapes::world(detail);
            QVERIFY(world);
            QVERIFY(world->polygons().size() > 100);
            // Frankfurt and Chukotka across the antimeridian are on land, the Atlantic is not.
            QVERIFY(world->contains(Mercator::project({50.11, 8.68})));
            QVERIFY(world->contains(Mercator::project({66, -172})));
            QVERIFY(!world->contains(Mercator::project({30, -40})));
        }
    }

    // --- the map over the controller ---

    void emptyListShowsTheFirstCameraAndNoMarker()
    {
        showMap(json::array());
        testing::CapturedOutput output;
        controller->loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(output.lines().contains(QStringLiteral(
                                     "Regions array is empty, cannot set Preferences.configId and currentRegion")),
                                 5000);
        waitForTheMainQueue();
        QCOMPARE(map->camera(), MapViewForMacOS14::initialPosition);
        QVERIFY(map->markers().empty());
        QCOMPARE(map->selection(), std::nullopt);
        testing::saveScreenshot(window.get(), QStringLiteral("mapview-empty"));
    }

    void oneMarkerPerRegionWithTheCurrentOneGreen()
    {
        showMap(worldRegions());
        QCOMPARE(controller->currentRegion(), std::optional<qint64>(0));  // nothing stored, no region 0
        QCOMPARE(map->camera(), MapViewForMacOS14::initialPosition);
        loadRegions();

        const std::vector<VPNRegion>& regions = controller->regions();
        QCOMPARE(map->markers().size(), regions.size());
        for (std::size_t i = 0; i < regions.size(); ++i) {
            const MapMarker& m = map->markers()[i];
            QCOMPARE(m.tag, regions[i].id);
            QCOMPARE(m.title, regions[i].city);  // the city alone, also for the optimal entry
            QCOMPARE(m.coordinate, coordinateOf(regions[i]));
            const bool current = regions[i].id == 1;
            QCOMPARE(m.tint, current ? kGreen : kGray);
            QCOMPARE(m.systemSymbol, current ? QStringLiteral("checkmark.shield.fill") : QString());
        }
        // The first selection moved the camera to Frankfurt and highlighted it.
        QCOMPARE(map->camera().center, coordinateOf(regions.front()));
        QCOMPARE(map->camera().span, MapViewForMacOS14::regionSpan);
        QCOMPARE(map->selection(), std::optional<qint64>(1));
        const QPointF frankfurt = map->screenPosition(coordinateOf(regions.front()));
        QVERIFY(std::abs(frankfurt.x() - 300) < 1 && std::abs(frankfurt.y() - 350) < 1);
        testing::saveScreenshot(window.get(), QStringLiteral("mapview-frankfurt"));
    }

    void cameraFollowsEveryAssignmentOfTheCurrentRegion()
    {
        showMap(worldRegions());
        loadRegions();
        const auto tokyo = *controller->regionById(3);
        controller->currentRegion = 3;
        // The camera answers the destination at once; the map glides there.
        QCOMPARE(map->camera().center, coordinateOf(tokyo));
        QCOMPARE(map->selection(), std::optional<qint64>(3));
        QVERIFY(map->isAnimating());
        QTRY_VERIFY_WITH_TIMEOUT(!map->isAnimating(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(marker(3)->tint, kGreen, 5000);
        QCOMPARE(marker(1)->tint, kGray);
        const QPointF tip = map->screenPosition(coordinateOf(tokyo));
        QVERIFY(std::abs(tip.x() - 300) < 1 && std::abs(tip.y() - 350) < 1);
        testing::saveScreenshot(window.get(), QStringLiteral("mapview-tokyo"));

        // The user pans away; the same value assigned again brings the camera back.
        QTest::mousePress(map, Qt::LeftButton, {}, QPoint(300, 350));
        QTest::mouseMove(map, QPoint(420, 300));
        QTest::mouseMove(map, QPoint(500, 250));
        QTest::mouseRelease(map, Qt::LeftButton, {}, QPoint(500, 250));
        QVERIFY(!near(map->camera().center.longitude, tokyo.location.longitude, 1));
        controller->currentRegion = 3;
        QCOMPARE(map->camera().center, coordinateOf(tokyo));
    }

    void clickingAMarkerChangesOnlyTheMapSelection()
    {
        showMap(worldRegions());
        loadRegions();
        const auto serverBefore = Preferences::server();
        const auto statusBefore = controller->connectionStatus();

        const QPoint overLondon = (map->screenPosition(marker(6)->coordinate) - QPointF(0, 15)).toPoint();
        QTest::mouseMove(map, overLondon);
        QCOMPARE(map->cursor().shape(), Qt::PointingHandCursor);
        QTest::mouseMove(map, QPoint(20, 690));
        QCOMPARE(map->cursor().shape(), Qt::OpenHandCursor);

        // Beside the tip, inside the balloon's bounding box but off its shape: no marker.
        const QPointF londonTip = map->screenPosition(marker(6)->coordinate);
        QCOMPARE(map->markerAt(londonTip + QPointF(-10, -3)), std::nullopt);
        QCOMPARE(map->markerAt(londonTip + QPointF(0, -1)), std::optional<qint64>(6));

        clickMarker(6);  // London, gray, in view next to Frankfurt
        QCOMPARE(map->selection(), std::optional<qint64>(6));
        testing::saveScreenshot(window.get(), QStringLiteral("mapview-london-clicked"));
        waitForTheMainQueue();
        QCOMPARE(controller->currentRegion(), std::optional<qint64>(1));
        QCOMPARE(Preferences::configId(), 1);
        QCOMPARE(Preferences::server(), serverBefore);
        QCOMPARE(controller->connectionStatus(), statusBefore);
        QCOMPARE(marker(6)->tint, kGray);
        QCOMPARE(marker(1)->tint, kGreen);

        // A click on open sea clears the highlight; the next published region restores it.
        QTest::mouseClick(map, Qt::LeftButton, {}, QPoint(20, 690));
        QCOMPARE(map->selection(), std::nullopt);
        controller->currentRegion = 1;
        QCOMPARE(map->selection(), std::optional<qint64>(1));
    }

    void regionsTheCameraCannotFollowLeaveItWhereItIs_data()
    {
        QTest::addColumn<std::optional<qint64>>("current");
        QTest::newRow("latitude 95") << std::optional<qint64>(7);
        QTest::newRow("longitude 200") << std::optional<qint64>(8);
        QTest::newRow("no region with the id") << std::optional<qint64>(999);
        QTest::newRow("none") << std::optional<qint64>();
    }
    void regionsTheCameraCannotFollowLeaveItWhereItIs()
    {
        QFETCH(std::optional<qint64>, current);
        json regions = worldRegions();
        regions.push_back(city(7, "Nowhere", "North of the Pole", 95, 10));
        regions.push_back(city(8, "Elsewhere", "East of the Date Line", 10, 200));
        showMap(regions);
        loadRegions();
        const MapCoordinateRegion before = map->camera();

        controller->currentRegion = current;
        QCOMPARE(map->camera(), before);
        QCOMPARE(map->selection(), std::optional<qint64>(1));
        QVERIFY(!map->isAnimating());
        // The marker is still the current region's, wherever it stands.
        const auto tintedByCurrent = [&] {
            return std::all_of(map->markers().begin(), map->markers().end(),
                               [&](const MapMarker& m) { return m.tint == (current == m.tag ? kGreen : kGray); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(tintedByCurrent(), 5000);
        QCOMPARE(map->markers().size(), 8u);
    }

    void markersFarOutsideTheWorldNeitherHangNorHideTheOthers_data()
    {
        QTest::addColumn<double>("longitude");
        QTest::newRow("1e20 east") << 1e20;
        QTest::newRow("1e20 west") << -1e20;
        QTest::newRow("largest float") << 3.4e38;
    }

    void markersFarOutsideTheWorldNeitherHangNorHideTheOthers()
    {
        QFETCH(double, longitude);
        json regions = worldRegions();
        regions.push_back(city(7, "Nowhere", "Far Away", 10, longitude));
        showMap(regions);
        loadRegions();
        QCOMPARE(map->markers().size(), 7u);
        // Painting and pointing place every marker on screen; both must come back.
        QVERIFY(!map->grab().isNull());
        QTest::mouseMove(map, QPoint(300, 350));
        clickMarker(1);
        QCOMPARE(map->selection(), std::optional<qint64>(1));
    }

    void legacyMapMovesOnALaterTurnWithPlainMarkers()
    {
        showMap(worldRegions(), true);
        QCOMPARE(map->camera(), MapViewLegacy::initialRegion());
        controller->loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(map->camera() != MapViewLegacy::initialRegion(), 5000);
        const auto frankfurt = *controller->regionById(1);
        QCOMPARE(map->camera(), MapViewLegacy::regionAround(coordinateOf(frankfurt)));
        QTRY_COMPARE_WITH_TIMEOUT(map->markers().size(), controller->regions().size(), 5000);
        for (const MapMarker& m : map->markers()) {
            QVERIFY(m.title.isEmpty() && m.systemSymbol.isEmpty());
            QCOMPARE(m.tint, m.tag == 1 ? kGreen : kGray);
        }
        testing::saveScreenshot(window.get(), QStringLiteral("mapview-legacy"));

        // The region is set a turn later, at once, and no marker is ever selected.
        const auto london = *controller->regionById(6);
        controller->currentRegion = 6;
        QCOMPARE(map->camera(), MapViewLegacy::regionAround(coordinateOf(frankfurt)));
        QTRY_COMPARE_WITH_TIMEOUT(map->camera(), MapViewLegacy::regionAround(coordinateOf(london)), 5000);
        QVERIFY(!map->isAnimating());
        clickMarker(1);
        QCOMPARE(map->selection(), std::nullopt);
    }

    void withoutMapDataTheMarkersStillShow()
    {
        showMap(worldRegions());
        loadRegions();
        map->setLandShapes(nullptr);
        QVERIFY(!map->hasMapData());
        const QImage picture = window->grab().toImage();
        // Frankfurt stands on plain ocean now, and its marker is drawn over it.
        const QPointF frankfurt = map->screenPosition({50.11, 8.68});
        QCOMPARE(picture.pixelColor((frankfurt + QPointF(40, 40)).toPoint()), QColor(0xA9, 0xCF, 0xEE));
        QCOMPARE(picture.pixelColor((frankfurt - QPointF(0, 15 * 1.6 + 12)).toPoint()).green(), 0xC7);
        testing::saveScreenshot(window.get(), QStringLiteral("mapview-no-map-data"));
    }

    void textsComeFromTheSpanishTable()
    {
        QTranslator spanish;
        QVERIFY(spanish.load(QStringLiteral(":/i18n/mapview_es.qm")));
        QCoreApplication::installTranslator(&spanish);
        WorldMap translated;
        translated.setLandShapes(nullptr);
        translated.resize(300, 200);
        const QString note = QCoreApplication::translate("MapView", "No map data");
        testing::saveScreenshot(&translated, QStringLiteral("mapview-no-map-data-es"));
        QCoreApplication::removeTranslator(&spanish);
        QCOMPARE(translated.accessibleName(), QStringLiteral("Mapa"));
        QCOMPARE(note, QStringLiteral("Sin datos del mapa"));
    }

    // A later marker on the same spot does not hide the current region's, whose title wins too.
    void currentRegionsMarkerStaysOnTop()
    {
        json regions = worldRegions();
        regions.push_back(city(9, "Germany", "Frankfurt West", 50.11, 8.68));
        showMap(regions);
        loadRegions();
        QCOMPARE(controller->currentRegion(), std::optional<qint64>(1));
        map->setSelection(std::nullopt);
        const QPointF tip = map->screenPosition(marker(1)->coordinate);
        QCOMPARE(map->markerAt(tip - QPointF(0, 15)), std::optional<qint64>(1));
        const QImage picture = map->grab().toImage();
        QCOMPARE(picture.pixelColor((tip - QPointF(0, 11 * 1.6 + 8)).toPoint()).green(), 0xC7);

        // Another region becomes current: its marker rises over the one that was.
        controller->currentRegion = 9;
        QTRY_COMPARE_WITH_TIMEOUT(marker(9)->tint, kGreen, 5000);
        map->setSelection(std::nullopt);
        QCOMPARE(map->markerAt(map->screenPosition(marker(9)->coordinate) - QPointF(0, 15)), std::optional<qint64>(9));
    }

    // Wheel and double click zoom in only down to the deepest scale, and out only until the
    // world fills the view's height.
    void zoomStaysWithinItsRange()
    {
        showMap(worldRegions());
        loadRegions();
        const QPoint pointer(300, 350);
        const auto wheel = [&](int notches) {
            QWheelEvent event(pointer, map->mapToGlobal(pointer), {}, {0, 120 * notches}, Qt::NoButton, {},
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(map, &event);
        };
        for (int step = 0; step < 60; ++step) {
            wheel(4);
        }
        const double deepest = map->camera().span.longitudeDelta;
        QVERIFY(near(deepest, 600 / MapViewport::maximumScale * 360, 1e-6));
        QVERIFY(deepest > 5);  // the width of a small country, not of a street
        QTest::mouseDClick(map, Qt::LeftButton, {}, QPoint(20, 20));
        QVERIFY(near(map->camera().span.longitudeDelta, deepest, 1e-9));

        for (int step = 0; step < 60; ++step) {
            wheel(-4);
        }
        QVERIFY(near(map->camera().span.longitudeDelta, 600 / MapViewport::minimumScale(QSizeF(600, 700)) * 360, 1e-6));
        QVERIFY(!map->grab().isNull());
    }

    void wheelZoomsAroundThePointer()
    {
        showMap(worldRegions());
        loadRegions();
        const MapCoordinateRegion before = map->camera();
        const QPoint pointer(450, 200);
        const MapViewport start = MapViewport::fitting(before, QSizeF(map->size()));
        const MapCoordinate under = Mercator::unproject(start.toWorld(pointer, QSizeF(map->size())));
        QWheelEvent wheel(pointer, map->mapToGlobal(pointer), {}, {0, 240}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
        QApplication::sendEvent(map, &wheel);
        QVERIFY(near(map->camera().span.longitudeDelta, before.span.longitudeDelta / 2, 1e-6));
        const QPointF after = map->screenPosition(under);
        QVERIFY(std::abs(after.x() - pointer.x()) < 0.5 && std::abs(after.y() - pointer.y()) < 0.5);
    }
};

TANDREL_TEST_MAIN_WIDGETS(MapViewTest)
#include "tst_mapview.moc"

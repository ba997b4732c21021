#include "../Controllers/ServiceTesting.h"
#include "Controllers/TandrelController.h"
#include "Models/RegionSamples.h"
#include "Views/VPNRegionsView.h"
#include "support/Screenshots.h"
#include "support/TestMain.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QToolButton>
#include <QTranslator>

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

QList<qint64> rowIds(const VPNRegionsView& view)
{
    QList<qint64> result;
    for (const VPNRegionRow* row : view.rows()) {
        result << row->regionId();
    }
    return result;
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
        QTRY_VERIFY_WITH_TIMEOUT(view.rows().size() > 3, 5000);
        QCOMPARE(view.rows().size(), qsizetype(ctrl.regions().size()));
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

    void failedLoadOffersARetry_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("said");
        QTest::newRow("English") << "en"
                                 << "The regions could not be loaded.";
        QTest::newRow("Spanish") << "es"
                                 << "No se pudieron cargar las regiones.";
    }

    // A load that fails with nothing listed says so in place of the list; Retry loads again.
    void failedLoadOffersARetry()
    {
        QFETCH(QString, language);
        QFETCH(QString, said);
        QTranslator spanish;
        if (language == QStringLiteral("es")) {
            QVERIFY(spanish.load(QStringLiteral(":/i18n/regionsloadfailedpanel_es.qm")));
            QCoreApplication::installTranslator(&spanish);
        }
        env->answer("GET", QStringLiteral("users/me/regions"), {});
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        view.resize(300, 500);
        view.show();
        auto* panel = view.findChild<QWidget*>(QStringLiteral("regionsLoadFailedPanel"));
        QVERIFY(panel);
        QTRY_VERIFY_WITH_TIMEOUT(panel->isVisible(), 10000);
        QVERIFY(!view.findChild<QWidget*>(QStringLiteral("regionScrollArea"))->isVisible());
        QCOMPARE(view.findChild<QLabel*>(QStringLiteral("regionsLoadFailedText"))->text(), said);
        testing::saveScreenshot(&view, QStringLiteral("regions-load-failed-") + language);
        QCoreApplication::removeTranslator(&spanish);

        env->backend.clearFaults();
        const qsizetype loadsBefore = env->requestCount("GET", QStringLiteral("users/me/regions"));
        QTest::mouseClick(view.findChild<QAbstractButton*>(QStringLiteral("regionsRetryButton")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(view.rows().size() > 3, 5000);
        QCOMPARE(env->requestCount("GET", QStringLiteral("users/me/regions")), loadsBefore + 1);
        QTRY_VERIFY(!panel->isVisible());
        QVERIFY(view.findChild<QWidget*>(QStringLiteral("regionScrollArea"))->isVisible());

        // A later failed load keeps the list that is there: nothing to retry in its place.
        env->answer("GET", QStringLiteral("users/me/regions"), {});
        ctrl.loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.regionsLoadFailed(), 10000);
        QTest::qWait(50);
        QVERIFY(!panel->isVisible());
        QVERIFY(view.rows().size() > 3);
    }

    void filterMatchesCountryOrCityIgnoringCase()
    {
        QFETCH(QString, term);
        QFETCH(QList<qint64>, kept);
        QCOMPARE(ids(VPNRegionsView::filteredRegions(sampleRegions(), term)), kept);
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
        QTRY_VERIFY_WITH_TIMEOUT(!view.rows().isEmpty(), 5000);

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
        QCOMPARE(rowIds(view), ids(ctrl.regions()));
        const VPNRegionRow* optimal = view.rows().first();
        QVERIFY(optimal->findChild<QLabel*>(QStringLiteral("countryLabel"))->text().startsWith("Optimal region\n"));
        // The first load selects the optimal entry, and only its row is marked.
        QTRY_VERIFY(view.rows().first()->isSelected());
        for (const VPNRegionRow* row : view.rows().mid(1)) {
            QVERIFY(!row->isSelected());
        }

        auto* field = view.findChild<QLineEdit*>(QStringLiteral("searchField"));
        auto* clear = view.findChild<QToolButton*>(QStringLiteral("clearSearchButton"));
        QVERIFY(!clear->isVisible());
        const VPNRegion& target = ctrl.regions().back();
        QTest::keyClicks(field, target.city.toUpper());
        QVERIFY(clear->isVisible());
        QCOMPARE(rowIds(view), ids(VPNRegionsView::filteredRegions(ctrl.regions(), target.city.toUpper())));
        QVERIFY(rowIds(view).contains(target.id));
        QTest::qWait(250);  // the clear button's fade-in, for the picture only
        testing::saveScreenshot(&view, QStringLiteral("regions-search"));

        QTest::keyClicks(field, QStringLiteral("zzzz"));
        QVERIFY(view.rows().isEmpty());
        QVERIFY(view.findChild<QLabel*>(QStringLiteral("regionListCaption"))->isVisible());

        QTest::mouseClick(clear, Qt::LeftButton);
        QCOMPARE(field->text(), QString());
        QVERIFY(!clear->isVisible());
        QCOMPARE(rowIds(view), ids(ctrl.regions()));
    }

    void tapSelectsTheRegionEveryTime()
    {
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        showLoaded(view, ctrl);
        const VPNRegion target = ctrl.regions()[2];
        auto row = [&] { return view.findChild<VPNRegionRow*>(QStringLiteral("regionRow_%1").arg(target.id)); };
        QVERIFY(row());

        QTest::mouseClick(row(), Qt::LeftButton);
        QCOMPARE(ctrl.currentRegion(), std::optional<qint64>(target.id));
        QCOMPARE(Preferences::configId(), target.id);
        QTRY_VERIFY(row()->isSelected());
        QVERIFY(!view.rows().first()->isSelected());
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::connected, 10000);

        // The selected row again: the controller hears it again and disconnects.
        QTest::mouseClick(row(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(ctrl.connectionStatus(), NEVPNStatus::disconnected, 10000);
        QVERIFY(row()->isSelected());
    }

    void everyRegionGetsItsRowEvenWithARepeatedId()
    {
        const nlohmann::json answer = {testing::regionJson(4, "Austria", true, 100, 10),
                                       testing::regionJson(8, "Belgium", false, 300, 10),
                                       testing::regionJson(8, "Belgium", false, 300, 10)};
        env->answer("GET", QStringLiteral("users/me/regions"), QByteArray::fromStdString(answer.dump()));
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        view.show();
        QTRY_COMPARE_WITH_TIMEOUT(view.rows().size(), qsizetype(3), 5000);
        QCOMPARE(rowIds(view), ids(ctrl.regions()));
        QCOMPARE(rowIds(view).count(8), 2);
        // The list reloads as it is shown again; the rows stay the same widgets.
        const QList<VPNRegionRow*> before = view.rows();
        view.hide();
        view.show();
        QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("GET", QStringLiteral("users/me/regions")), 2, 5000);
        QTRY_COMPARE(view.rows(), before);
    }

    // In the compact column the names have about a hundred pixels: a long name wraps
    // between its words instead of being cut in the middle of one.
    void longNamesWrapWholeWordsInTheColumn()
    {
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        showLoaded(view, ctrl);
        QTRY_VERIFY(view.rows().first()->isSelected());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        for (const VPNRegionRow* row : view.rows()) {
            for (const char* name : {"countryLabel", "cityLabel"}) {
                const auto* label = row->findChild<QLabel*>(QString::fromLatin1(name));
                const QRect room = label->contentsRect();
                const QFontMetrics metrics(label->font());
                for (const QString& word : label->text().split(QRegularExpression(QStringLiteral("\\s+")))) {
                    QVERIFY2(metrics.horizontalAdvance(word) <= room.width(), qPrintable(word));
                }
                const QRect needed =
                    metrics.boundingRect(QRect(0, 0, room.width(), 10000), Qt::TextWordWrap, label->text());
                QVERIFY2(needed.height() <= room.height(), qPrintable(label->text()));
            }
        }
        testing::saveScreenshot(view.rows().first(), QStringLiteral("regions-optimal-row"));
        testing::saveScreenshot(&view, QStringLiteral("regions-compact-column"));
    }

    void noRowIsMarkedForAnUnlistedSelection()
    {
        Preferences::setConfigId(424242);
        TandrelController ctrl;
        VPNRegionsView view(ctrl);
        showLoaded(view, ctrl);
        for (const VPNRegionRow* row : view.rows()) {
            QVERIFY(!row->isSelected());
        }
    }
};

TANDREL_TEST_MAIN_WIDGETS(VPNRegionsViewTest)
#include "tst_vpnregionsview.moc"

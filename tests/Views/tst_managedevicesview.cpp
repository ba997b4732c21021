#include "Controllers/ServiceTesting.h"
#include "Controllers/TandrelController.h"
#include "Views/Sheets/ManageDevicesView.h"
#include "support/Screenshots.h"
#include "support/TestMain.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QTranslator>

#include <memory>

using namespace tandrel;

namespace {

bool shows(QWidget* view, const char* panel)
{
    auto* child = view->findChild<QWidget*>(QLatin1String(panel));
    return child && child->isVisibleTo(view);
}

QStringList rowNames(QWidget* view)
{
    QStringList names;
    for (auto* row : view->findChildren<DeviceRow*>()) {
        names << row->device.name;
    }
    return names;
}

QString label(QWidget* root, const char* name)
{
    auto* found = root->findChild<QLabel*>(QLatin1String(name));
    return found ? found->text() : QStringLiteral("<none>");
}

// Another request on the same route, started after the sheet's own, answers after it.
void waitForAnswerAfter(const std::function<void(GetCompletion)>& request)
{
    bool answered = false;
    request([&answered](std::optional<Error>, std::optional<JSON>) { answered = true; });
    QTRY_VERIFY(answered);
}

}  // namespace

class ManageDevicesViewTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<testing::ServiceEnvironment> m_env;
    std::unique_ptr<TandrelController> m_ctrl;

    std::unique_ptr<ManageDevicesView> openSheet()
    {
        m_ctrl->showManageDevices = true;
        auto view = std::make_unique<ManageDevicesView>(*m_ctrl);
        view->resize(560, 480);
        view->show();
        return view;
    }

    QString deviceId(int index) const
    {
        return QString::number(m_env->backend.devices(demo::DemoBackend::demoEmail).value(index).id);
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<testing::ServiceEnvironment>();
        m_env->signIn();
        m_ctrl = std::make_unique<TandrelController>();
    }

    void cleanup()
    {
        m_ctrl.reset();
        m_env.reset();
    }

    void listShowsTheAccountsDevicesAndCountsThem()
    {
        auto view = openSheet();
        QVERIFY(view->isLoading());
        QTRY_COMPARE(rowNames(view.get()), (QStringList{"Anna's iPhone", "Living-room TV"}));
        QVERIFY(shows(view.get(), "listPanel"));
        QCOMPARE(m_ctrl->usedSlots(), 2);
        QTRY_COMPARE(label(view.get(), "slotsLine"), QStringLiteral("2 of 5 slots in use"));
        auto* phone = view->findChild<DeviceRow*>("deviceRow_" + deviceId(0));
        QCOMPARE(label(phone, "deviceOS"), QStringLiteral("OS: 17.5.1"));
        QCOMPARE(label(phone, "deviceLastLogin"), QStringLiteral("Last Login: 2026-11-28 19:42:10"));
        QCOMPARE(phone->findChild<QLabel*>("platformIcon")->property("symbol").toString(), QStringLiteral("applelogo"));
        testing::saveScreenshot(view.get(), QStringLiteral("devices-list"));
    }

    void rowsShowWhatTheListSends_data()
    {
        QTest::addColumn<QByteArray>("element");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("lastLogin");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("tooltip");
        QTest::newRow("this client") << QByteArray(
                                            R"({"id":1,"device_name":"Desk","platform":"macSA","last_login_at":""})")
                                     << "Desk"
                                     << "Never"
                                     << "laptopcomputer"
                                     << "macSA";
        QTest::newRow("upper-case ios") << QByteArray(R"({"id":2,"platform":"IOS","last_login_at":null})") << ""
                                        << "Never"
                                        << "applelogo"
                                        << "IOS";
        QTest::newRow("numeric login") << QByteArray(
                                              R"({"id":3,"platform":"chrome-webstore","last_login_at":1700000000})")
                                       << ""
                                       << "1700000000"
                                       << "globe"
                                       << "chrome-webstore";
        QTest::newRow("unknown platform") << QByteArray(R"({"id":4,"platform":"amiga"})") << ""
                                          << "Never"
                                          << "questionmark.circle"
                                          << "amiga";
        QTest::newRow("not an object") << QByteArray("42") << ""
                                       << "Never"
                                       << "questionmark.circle"
                                       << "";
    }

    void rowsShowWhatTheListSends()
    {
        QFETCH(QByteArray, element);
        QFETCH(QString, name);
        QFETCH(QString, lastLogin);
        QFETCH(QString, symbol);
        QFETCH(QString, tooltip);
        m_env->answer("GET", "devices", "[" + element + "]");
        auto view = openSheet();
        QTRY_COMPARE(view->findChildren<DeviceRow*>().size(), 1);
        auto* row = view->findChild<DeviceRow*>();
        QCOMPARE(row->device.name, name);
        QCOMPARE(label(row, "deviceLastLogin"), "Last Login: " + lastLogin);
        auto* icon = row->findChild<QLabel*>("platformIcon");
        QCOMPARE(icon->property("symbol").toString(), symbol);
        QCOMPARE(icon->toolTip(), tooltip);
        QCOMPARE(m_ctrl->usedSlots(), 1);
    }

    void patternedLinesComeFromTheTableWithTheirValuesAsSent_data()
    {
        QTest::addColumn<bool>("spanish");
        QTest::addColumn<QString>("os");
        QTest::addColumn<QString>("lastLogin");
        QTest::addColumn<QString>("slotsLine");
        QTest::newRow("english") << false << "OS: %@ 14 %lld"
                                 << "Last Login: Never"
                                 << "1 of 5 slots in use";
        QTest::newRow("spanish") << true << "SO: %@ 14 %lld"
                                 << "Último inicio de sesión: Never"
                                 << "1 de 5 plazas en uso";
    }

    void patternedLinesComeFromTheTableWithTheirValuesAsSent()
    {
        QFETCH(bool, spanish);
        QFETCH(QString, os);
        QFETCH(QString, lastLogin);
        QFETCH(QString, slotsLine);
        QTranslator table;
        if (spanish) {
            QVERIFY(table.load(QStringLiteral(":/i18n/managedevicesview_es.qm")));
            QCoreApplication::installTranslator(&table);
        }
        // An OS text that looks like a specifier is shown as sent, not filled in.
        m_env->answer("GET", "devices", R"([{"id":7,"device_name":"Desk","os":"%@ 14 %lld"}])");
        auto view = openSheet();
        QTRY_COMPARE(view->findChildren<DeviceRow*>().size(), 1);
        auto* row = view->findChild<DeviceRow*>();
        QCOMPARE(label(row, "deviceOS"), os);
        QCOMPARE(label(row, "deviceLastLogin"), lastLogin);
        QTRY_COMPARE(label(view.get(), "slotsLine"), slotsLine);
        QCoreApplication::removeTranslator(&table);
    }

    void deleteRemovesTheRowAndCountsItOut()
    {
        auto view = openSheet();
        QTRY_COMPARE(rowNames(view.get()).size(), 2);
        const QString phone = deviceId(0);
        auto* button = view->findChild<QAbstractButton*>("deleteButton_" + phone);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(view->isDeleting().contains(phone));
        QTRY_COMPARE(rowNames(view.get()), QStringList{"Living-room TV"});
        QCOMPARE(m_ctrl->usedSlots(), 1);
        QTRY_COMPARE(label(view.get(), "slotsLine"), QStringLiteral("1 of 5 slots in use"));
        QCOMPARE(m_env->backend.devices(demo::DemoBackend::demoEmail).size(), 1);
    }

    // While one delete is in flight every Delete button is off; shared ids go together.
    void oneDeleteAtATimeAndSharedIdsGoTogether()
    {
        m_env->answer("GET", "devices",
                      R"([{"id":7,"device_name":"A"},{"id":8,"device_name":"B"},{"id":7,"device_name":"A again"}])");
        demo::Fault slow;
        slow.delayMs = 300;
        slow.body = QByteArray(R"({"message":"The device has been removed."})");
        m_env->backend.setFault("DELETE", "devices/*", slow);
        auto view = openSheet();
        QTRY_COMPARE(rowNames(view.get()).size(), 3);
        QTest::mouseClick(view->findChild<QAbstractButton*>("deleteButton_8"), Qt::LeftButton);
        QTRY_VERIFY(!view->findChild<QAbstractButton*>("deleteButton_8")->isEnabled());
        for (QAbstractButton* other : view->findChildren<QAbstractButton*>("deleteButton_7")) {
            QVERIFY(!other->isEnabled());
        }
        QTest::mouseClick(view->findChildren<QAbstractButton*>("deleteButton_7").first(), Qt::LeftButton);
        QCOMPARE(view->isDeleting(), (QSet<QString>{"8"}));
        QTRY_COMPARE(rowNames(view.get()), (QStringList{"A", "A again"}));
        QCOMPARE(m_env->backend.requestsTo("DELETE", "devices/7").size(), 0);

        QTRY_VERIFY(view->findChildren<QAbstractButton*>("deleteButton_7").first()->isEnabled());
        QTest::mouseClick(view->findChildren<QAbstractButton*>("deleteButton_7").first(), Qt::LeftButton);
        QTRY_VERIFY(rowNames(view.get()).isEmpty());
        QCOMPARE(m_ctrl->usedSlots(), 0);
        QVERIFY(view->isDeleting().isEmpty());
    }

    // A double-click whose first click deletes a row: its second click lands where the
    // next row's button now stands, and must not delete that device too.
    void doubleClickOnDeleteRemovesOneDevice()
    {
        auto view = openSheet();
        QTRY_COMPARE(rowNames(view.get()).size(), 2);
        auto* first = view->findChild<QAbstractButton*>("deleteButton_" + deviceId(0));
        const QPoint spot = first->mapTo(view.get(), first->rect().center());
        QTest::mouseClick(first, Qt::LeftButton);
        QTRY_COMPARE(rowNames(view.get()), QStringList{"Living-room TV"});
        QTRY_VERIFY(view->childAt(spot) && view->childAt(spot)->objectName().startsWith("deleteButton_"));
        QWidget* under = view->childAt(spot);
        QVERIFY(under->isEnabled());
        const QPointF local = under->mapFrom(view.get(), spot);
        QMouseEvent second(QEvent::MouseButtonDblClick, local, under->mapToGlobal(local), Qt::LeftButton,
                           Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(under, &second);
        QMouseEvent release(QEvent::MouseButtonRelease, local, under->mapToGlobal(local), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(under, &release);
        QTest::qWait(300);
        QCOMPARE(rowNames(view.get()), QStringList{"Living-room TV"});
        QCOMPARE(m_env->backend.devices(demo::DemoBackend::demoEmail).size(), 1);
    }

    void theDeviceThisProgramRunsOnIsMarked_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("mark");
        QTest::newRow("English") << "en"
                                 << "This device";
        QTest::newRow("Spanish") << "es"
                                 << "Este dispositivo";
    }

    // The backend lists each device with the uid it registered with; ours is the one we send.
    void theDeviceThisProgramRunsOnIsMarked()
    {
        QFETCH(QString, language);
        QFETCH(QString, mark);
        QTranslator spanish;
        if (language == QStringLiteral("es")) {
            QVERIFY(spanish.load(QStringLiteral(":/i18n/managedevicesview_es.qm")));
            QCoreApplication::installTranslator(&spanish);
        }
        const std::optional<QString> uid = Preferences::uid();
        QVERIFY(uid && !uid->isEmpty());
        demo::DeviceRecord ours;
        ours.uid = *uid;
        ours.device_name = QStringLiteral("Workstation");
        ours.os = QStringLiteral("Debian 12");
        ours.platform = QStringLiteral("macSA");
        const qint64 id = m_env->backend.addDevice(demo::DemoBackend::demoEmail, ours);
        auto view = openSheet();
        QTRY_COMPARE(rowNames(view.get()).size(), 3);
        for (auto* row : view->findChildren<DeviceRow*>()) {
            QCOMPARE(row->findChild<QLabel*>("thisDeviceMark")->isVisibleTo(row),
                     row->device.id == QString::number(id));
        }
        auto* mine = view->findChild<DeviceRow*>(QStringLiteral("deviceRow_%1").arg(id));
        QCOMPARE(label(mine, "thisDeviceMark"), mark);
        testing::saveScreenshot(view.get(), QStringLiteral("devices-this-device-") + language);
        QCoreApplication::removeTranslator(&spanish);
        // Deleting it stays possible.
        QTest::mouseClick(view->findChild<QAbstractButton*>(QStringLiteral("deleteButton_%1").arg(id)), Qt::LeftButton);
        QTRY_COMPARE(rowNames(view.get()).size(), 2);
    }

    void failuresShowTheErrorPanelAndRetryReloads_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<int>("rowsKept");
        QTest::newRow("list") << QByteArray("GET") << "devices"
                              << "Failed to load devices: " << 0;
        QTest::newRow("delete") << QByteArray("DELETE") << "devices/*"
                                << "Failed to delete device: " << 2;
    }

    void failuresShowTheErrorPanelAndRetryReloads()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, route);
        QFETCH(QString, prefix);
        QFETCH(int, rowsKept);
        m_env->answer(method.constData(), route, {});
        auto view = openSheet();
        if (method == "DELETE") {
            QTRY_COMPARE(rowNames(view.get()).size(), 2);
            QTest::mouseClick(view->findChild<QAbstractButton*>("deleteButton_" + deviceId(0)), Qt::LeftButton);
        }
        QTRY_VERIFY(shows(view.get(), "errorPanel"));
        QVERIFY(!shows(view.get(), "listPanel"));
        QVERIFY2(label(view.get(), "errorText").startsWith(prefix), qPrintable(label(view.get(), "errorText")));
        QCOMPARE(static_cast<int>(view->devices().size()), rowsKept);
        QVERIFY(view->isDeleting().isEmpty());
        QCOMPARE(m_ctrl->usedSlots(), rowsKept);
        testing::saveScreenshot(view.get(), QStringLiteral("devices-error-") + QTest::currentDataTag());

        m_env->backend.clearFaults();
        QTest::mouseClick(view->findChild<QAbstractButton*>("retryButton"), Qt::LeftButton);
        QTRY_VERIFY(shows(view.get(), "listPanel"));
        QCOMPARE(rowNames(view.get()).size(), 2);
        QCOMPARE(m_ctrl->usedSlots(), 2);
    }

    void answersAfterTheSheetClosedStillSetUsedSlots()
    {
        demo::Fault slow;
        slow.delayMs = 150;
        m_env->backend.setFault("GET", "devices", slow);
        auto view = openSheet();
        QTest::mouseClick(view->findChild<QAbstractButton*>("closeButton"), Qt::LeftButton);
        QVERIFY(!m_ctrl->showManageDevices());
        view.reset();
        QTRY_COMPARE(m_ctrl->usedSlots(), 2);

        m_env->backend.clearFaults();
        view = openSheet();
        QTRY_COMPARE(rowNames(view.get()).size(), 2);
        m_env->backend.setFault("DELETE", "devices/*", slow);
        QTest::mouseClick(view->findChild<QAbstractButton*>("deleteButton_" + deviceId(1)), Qt::LeftButton);
        view.reset();
        QTRY_COMPARE(m_ctrl->usedSlots(), 1);
    }

    void answersAfterTheControllerIsGoneTouchNothing()
    {
        demo::Fault slow;
        slow.delayMs = 150;
        m_env->backend.setFault("GET", "devices", slow);
        auto view = openSheet();
        view.reset();
        m_ctrl.reset();
        waitForAnswerAfter([](GetCompletion done) { Client::shared().getDevices(std::move(done)); });
        QCOMPARE(m_env->requestCount("GET", "devices"), 2);
    }
};

TANDREL_TEST_MAIN_WIDGETS(ManageDevicesViewTest)
#include "tst_managedevicesview.moc"

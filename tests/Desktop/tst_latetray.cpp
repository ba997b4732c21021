#include "StatusNotifierHost.h"
#include "TandrelApp.h"
#include "Views/App/StatusTray.h"
#include "support/TestMain.h"

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

using namespace tandrel;

namespace {

// An XEmbed tray as a panel starts one: it takes the screen's tray selection and says so
// to the root window (a MANAGER message), on an X connection of its own.
class XEmbedTray {
public:
    ~XEmbedTray()
    {
        if (m_connection) {
            xcb_disconnect(m_connection);
        }
    }

    bool start()
    {
        int screenNumber = 0;
        m_connection = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(m_connection)) {
            return false;
        }
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
        for (int i = 0; i < screenNumber; ++i) {
            xcb_screen_next(&screens);
        }
        const xcb_window_t root = screens.data->root;
        const xcb_window_t tray = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, tray, root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screens.data->root_visual, 0, nullptr);
        const xcb_atom_t selection = atom("_NET_SYSTEM_TRAY_S" + QByteArray::number(screenNumber));
        xcb_set_selection_owner(m_connection, tray, selection, XCB_CURRENT_TIME);
        xcb_client_message_event_t manager{};
        manager.response_type = XCB_CLIENT_MESSAGE;
        manager.format = 32;
        manager.window = root;
        manager.type = atom("MANAGER");
        manager.data.data32[0] = XCB_CURRENT_TIME;
        manager.data.data32[1] = selection;
        manager.data.data32[2] = tray;
        xcb_send_event(m_connection, 0, root, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&manager));
        xcb_flush(m_connection);
        return true;
    }

private:
    xcb_atom_t atom(const QByteArray& name)
    {
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(m_connection,
                                  xcb_intern_atom(m_connection, 0, uint16_t(name.size()), name.constData()), nullptr),
            &std::free);
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    xcb_connection_t* m_connection = nullptr;
};

}  // namespace

// The usual autostart race: Tandrel starts before the panel. Each case runs in a process
// of its own (see CMakeLists.txt), since Qt settles its kind of tray once per process.
class LateTrayTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_app = std::make_unique<TandrelApp>(QUrl());
        m_window = m_app->body();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        QVERIFY(!m_app->showInStatusArea());
        QVERIFY(!m_app->closesToStatusArea());
    }

    void cleanup()
    {
        m_app.reset();
        m_host.reset();
        m_tray.reset();
    }

    void iconShowsWhenAStatusNotifierHostComesLater()
    {
        QTimer::singleShot(3000, this, [this] {
            m_host = std::make_unique<StatusNotifierHost>();
            QVERIFY(m_host->start());
        });
        QTRY_VERIFY_WITH_TIMEOUT(m_app->statusTray(), 10000);
        QVERIFY(m_host);
        // The icon is the host's item, not an XEmbed one.
        QTRY_VERIFY(!m_host->watcher().items().isEmpty());
        expectCloseToHide();
    }

    void iconShowsWhenAnXEmbedTrayComesLater()
    {
        QTimer::singleShot(3000, this, [this] {
            m_tray = std::make_unique<XEmbedTray>();
            QVERIFY(m_tray->start());
        });
        QTRY_VERIFY_WITH_TIMEOUT(m_app->statusTray(), 10000);
        QVERIFY(m_tray);
        expectCloseToHide();
    }

private:
    void expectCloseToHide()
    {
        QVERIFY(m_app->statusTray()->trayIcon()->isVisible());
        // The log-in screen shows no status: the tooltip names the application.
        QCOMPARE(m_app->statusTray()->toolTip(), QStringLiteral("Tandrel"));
        QVERIFY(m_app->closesToStatusArea());
        QPointer<QMainWindow> window = m_window;
        QVERIFY(window->close());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(window);
        QVERIFY(!window->isVisible());
        QVERIFY(!QApplication::quitOnLastWindowClosed());
        // And the icon brings it back.
        Q_EMIT m_app->statusTray()->trayIcon()->activated(QSystemTrayIcon::Trigger);
        QTRY_VERIFY(window->isVisible());
    }

    std::unique_ptr<TandrelApp> m_app;
    QMainWindow* m_window = nullptr;
    std::unique_ptr<StatusNotifierHost> m_host;
    std::unique_ptr<XEmbedTray> m_tray;
};

TANDREL_TEST_MAIN_WIDGETS(LateTrayTest)
#include "tst_latetray.moc"

#include "../Controllers/ServiceTesting.h"
#include "Platform/UserDefaults.h"
#include "TandrelApp.h"
#include "Views/Kit/Windows.h"
#include "support/Screenshots.h"
#include "support/TestMain.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMainWindow>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVariantAnimation>

using namespace tandrel;
using tandrel::testing::ServiceEnvironment;

namespace {

// The texts of `content` that do not fit the room their widget has: a single line wider
// than its label or button, wrapped lines taller than their label.
QStringList clippedTexts(QWidget* content)
{
    QStringList clipped;
    for (QLabel* label : content->findChildren<QLabel*>()) {
        if (!label->isVisibleTo(content) || label->text().isEmpty() || label->textFormat() == Qt::RichText) {
            continue;
        }
        const QRect room = label->contentsRect();
        const bool fits = label->wordWrap()
                              ? label->heightForWidth(label->width()) <= label->height()
                              : label->fontMetrics().boundingRect(room, int(label->alignment()), label->text()).width() <=
                                    room.width();
        if (!fits) {
            clipped << label->objectName() + QStringLiteral(": ") + label->text();
        }
    }
    for (QAbstractButton* button : content->findChildren<QAbstractButton*>()) {
        if (button->isVisibleTo(content) && !button->text().isEmpty() &&
            button->width() < button->minimumSizeHint().width()) {
            clipped << button->objectName() + QStringLiteral(": ") + button->text();
        }
    }
    return clipped;
}

}  // namespace

// The log-in and main windows on the screen this process was given (CTest runs it on
// several: the offscreen platform's configuration and QT_SCALE_FACTOR, see
// CMakeLists.txt). Each must lie inside the screen's usable area with its title bar and
// every button reachable, however large the screen's scale makes the content.
class WindowPlacementTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void windowsStayInsideTheUsableArea_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("compact");
        QTest::addColumn<QString>("screenName");
        QTest::newRow("log-in") << false << false << "loginView";
        QTest::newRow("main") << true << false << "vpnMainView";
        QTest::newRow("main, compact") << true << true << "vpnMainView";
    }

    void windowsStayInsideTheUsableArea()
    {
        QFETCH(bool, signedIn);
        QFETCH(bool, compact);
        QFETCH(QString, screenName);
        ServiceEnvironment env;
        if (signedIn) {
            env.signIn();
        }
        UserDefaults::standard().set(compact, QStringLiteral("CompactView"));
        TandrelApp app{QUrl()};
        QMainWindow* window = app.body();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QTRY_VERIFY(window->findChild<QWidget*>(screenName) && window->findChild<QWidget*>(screenName)->isVisible());
        const QRect room = window->screen()->availableGeometry();
        auto* scroller = window->findChild<QScrollArea*>(QStringLiteral("contentScroller"));
        QVERIFY(scroller);

        // The size the screen asks for, as far as the usable area allows, once its sizing
        // (queued, the main screen's animated) is done.
        const auto settled = [&] {
            const QSize around = Windows::frame(window).size() - scroller->size();
            const QSize asked = signedIn ? QSize(compact ? 300 : 900, 700) : QSize(800, 500) + around;
            const QSize least = window->minimumSize() + (Windows::frame(window).size() - window->size());
            return !window->findChild<QVariantAnimation*>(QString(), Qt::FindDirectChildrenOnly) &&
                   Windows::frame(window).size() == asked.expandedTo(least).boundedTo(room.size());
        };
        QTRY_VERIFY_WITH_TIMEOUT(settled(), 5000);

        const QRect frame = Windows::frame(window);
        const QSize pixels = window->screen()->geometry().size() * window->devicePixelRatio();
        qInfo().noquote() << QStringLiteral("%1 at scale %2 on %3x%4 pixels (usable %5x%6 points): frame %7x%8 at %9,%10")
                                 .arg(QString::fromLatin1(QTest::currentDataTag()))
                                 .arg(window->devicePixelRatio())
                                 .arg(pixels.width())
                                 .arg(pixels.height())
                                 .arg(room.width())
                                 .arg(room.height())
                                 .arg(frame.width())
                                 .arg(frame.height())
                                 .arg(frame.left())
                                 .arg(frame.top());
        QVERIFY2(room.contains(frame), qPrintable(QStringLiteral("frame %1,%2 %3x%4 outside %5x%6")
                                                      .arg(frame.left())
                                                      .arg(frame.top())
                                                      .arg(frame.width())
                                                      .arg(frame.height())
                                                      .arg(room.width())
                                                      .arg(room.height())));
        // Never shrunk below its content unless the screen itself is smaller.
        const QSize needed = scroller->widget()->minimumSizeHint();
        QCOMPARE(scroller->horizontalScrollBar()->maximum() > 0, needed.width() > scroller->viewport()->width());
        QCOMPARE(scroller->verticalScrollBar()->maximum() > 0, needed.height() > scroller->viewport()->height());
        QVERIFY(window->minimumSize().width() <= room.width());
        QVERIFY(window->minimumSize().height() <= room.height());
        testing::saveScreenshot(window, QStringLiteral("placement-%1x%2-scale%3-%4")
                                            .arg(window->screen()->geometry().width())
                                            .arg(window->screen()->geometry().height())
                                            .arg(window->devicePixelRatio())
                                            .arg(screenName + (compact ? QStringLiteral("-compact") : QString())));

        // Every button can be scrolled to and then lies inside the window.
        const QList<QAbstractButton*> buttons = scroller->widget()->findChildren<QAbstractButton*>();
        QVERIFY(!buttons.isEmpty());
        for (QAbstractButton* button : buttons) {
            if (!button->isVisibleTo(window)) {
                continue;
            }
            scroller->ensureWidgetVisible(button, 0, 0);
            const QRect shown(button->mapTo(scroller->viewport(), QPoint(0, 0)), button->size());
            QVERIFY2(scroller->viewport()->rect().intersects(shown), qPrintable(button->objectName()));
        }

        // At its smallest, no text is cut (where the screen leaves room for that size).
        window->resize(window->minimumSize());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        const QStringList clipped = clippedTexts(scroller->widget());
        QVERIFY2(clipped.isEmpty(), qPrintable(QStringLiteral("at %1x%2: ").arg(window->width()).arg(window->height()) +
                                                clipped.join(QStringLiteral("; "))));
        UserDefaults::standard().removeObject(QStringLiteral("CompactView"));
    }

    void contentGrowingPastTheScreenIsHeldInside()
    {
        ServiceEnvironment env;
        TandrelApp app{QUrl()};
        QMainWindow* window = app.body();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QRect room = window->screen()->availableGeometry();
        // A screen asks for more than there is, from a window near the bottom-right corner.
        Windows::setFrame(window, QRect(room.right() - 400, room.bottom() - 300, 400, 300), false);
        Windows::setFrameSizeKeepingOrigin(window, room.size() + QSize(300, 200), true);
        QTRY_VERIFY(!window->findChild<QVariantAnimation*>(QString(), Qt::FindDirectChildrenOnly));
        QVERIFY(room.contains(Windows::frame(window)));
        QCOMPARE(Windows::frame(window).size(), room.size());
        // The usable area shrinks (a panel appears): covered by the same rule on the next
        // frame the screens set.
        Windows::setFrameSizeKeepingOrigin(window, QSize(200, 100), false);
        QVERIFY(room.contains(Windows::frame(window)));
        QVERIFY(Windows::frame(window).width() >= window->minimumWidth());
    }
};

TANDREL_TEST_MAIN_WIDGETS(WindowPlacementTest)
#include "tst_windowplacement.moc"

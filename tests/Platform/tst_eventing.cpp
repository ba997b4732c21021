#include "Platform/MainQueue.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Published.h"
#include "support/TestMain.h"

#include <QThread>

using namespace tandrel;

class EventingTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void mainQueueRunsInOrderAlsoFromOtherThreads()
    {
        QStringList order;
        MainQueue::async([&] { order << "a"; });
        MainQueue::async([&] { order << "b"; });
        std::unique_ptr<QThread> worker(QThread::create([&] {
            MainQueue::async([&] {
                QVERIFY(MainQueue::isMainThread());
                order << "c";
            });
        }));
        worker->start();
        worker->wait();
        QVERIFY(order.isEmpty());  // nothing runs before the loop turns
        QTRY_COMPARE(order, (QStringList{"a", "b", "c"}));
    }

    void groupNotifiesOnceEveryEnterIsLeft()
    {
        DispatchGroup group;
        int notified = 0;
        group.enter();
        group.enter();
        group.notify([&] { ++notified; });
        group.leave();
        QCoreApplication::processEvents();
        QCOMPARE(notified, 0);
        group.leave();
        QTRY_COMPARE(notified, 1);
    }

    void postFromInsideAnObserverReachesEveryone()
    {
        NotificationCenter center;
        QStringList seen;
        center.addObserver("outer", nullptr, NotificationCenter::Delivery::postingThread, [&](const Notification&) {
            seen << "outer-1";
            center.post("inner");
        });
        center.addObserver("outer", nullptr, NotificationCenter::Delivery::postingThread,
                           [&](const Notification&) { seen << "outer-2"; });
        center.addObserver("inner", nullptr, NotificationCenter::Delivery::postingThread,
                           [&](const Notification&) { seen << "inner"; });
        center.post("outer");
        QCOMPARE(seen, (QStringList{"outer-1", "inner", "outer-2"}));
    }

    void objectFilterAndMainQueueDelivery()
    {
        NotificationCenter center;
        int sender = 0;
        int other = 0;
        int filtered = 0;
        QList<const void*> queued;
        center.addObserver("n", &sender, NotificationCenter::Delivery::postingThread,
                           [&](const Notification&) { ++filtered; });
        center.addObserver("n", nullptr, NotificationCenter::Delivery::mainQueue,
                           [&](const Notification& note) { queued << note.object; });
        center.post("n", &other);
        QCOMPARE(filtered, 0);
        QVERIFY(queued.isEmpty());  // queued observers wait for the loop
        QTRY_COMPARE(queued, (QList<const void*>{&other}));
        center.post("n", &sender);
        QCOMPARE(filtered, 1);
        QTRY_COMPARE(queued, (QList<const void*>{&other, &sender}));
    }

    void queuedDeliveryEndsWithItsObserver_data()
    {
        QTest::addColumn<bool>("destroyCenter");
        QTest::newRow("observer removed") << false;
        QTest::newRow("center destroyed") << true;
    }

    void queuedDeliveryEndsWithItsObserver()
    {
        QFETCH(bool, destroyCenter);
        auto center = std::make_unique<NotificationCenter>();
        auto delivered = std::make_shared<int>(0);
        const auto token = center->addObserver("n", nullptr, NotificationCenter::Delivery::mainQueue,
                                               [delivered](const Notification&) { ++*delivered; });
        center->post("n");
        center->post("n");
        if (destroyCenter) {
            center.reset();
        } else {
            center->removeObserver(token);
        }
        // A marker queued behind both deliveries: once it ran, they had their turn.
        bool drained = false;
        MainQueue::async([&] { drained = true; });
        QTRY_VERIFY(drained);
        QCOMPARE(*delivered, 0);
    }

    void publishedAnnouncesEveryAssignmentBeforeItTakesEffect()
    {
        ObservableObject owner;
        Published<int> value(&owner, 1);
        QList<int> seenInsideWillChange;
        QObject::connect(&owner, &ObservableObject::objectWillChange, [&] { seenInsideWillChange << value.get(); });
        QList<int> delivered;
        Cancellable subscription = value.sink([&](const int& v) { delivered << v; });
        value = 2;
        value = 2;  // the same value is announced too
        QCOMPARE(seenInsideWillChange, (QList<int>{1, 2}));
        QCOMPARE(delivered, (QList<int>{1, 2, 2}));
        subscription.cancel();
        value = 3;
        QCOMPARE(delivered.size(), 3);
        QCOMPARE(value.get(), 3);
    }
};

TANDREL_TEST_MAIN_CORE(EventingTest)
#include "tst_eventing.moc"

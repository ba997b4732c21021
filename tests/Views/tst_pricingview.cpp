#include "BuildConfig.h"
#include "Controllers/PricingController.h"
#include "Controllers/ServiceTesting.h"
#include "Controllers/TandrelController.h"
#include "Platform/Workspace.h"
#include "Views/Sheets/PricingView.h"
#include "support/Screenshots.h"
#include "support/TestMain.h"

#include <QAbstractButton>
#include <QDialog>
#include <QLabel>
#include <QTranslator>
#include <QVBoxLayout>

#include <memory>

using namespace tandrel;

namespace {

// The cards on screen, in list order.
QList<PricingView::PlanRow*> cards(QWidget* view)
{
    QList<PricingView::PlanRow*> shown;
    while (auto* card = view->findChild<PricingView::PlanRow*>(QStringLiteral("planCard_%1").arg(shown.size()))) {
        if (!card->isVisibleTo(view)) {
            break;
        }
        shown << card;
    }
    return shown;
}

QStringList cardNames(QWidget* view)
{
    QStringList names;
    for (auto* card : cards(view)) {
        names << card->plan.name;
    }
    return names;
}

int selectedCard(QWidget* view)
{
    const auto shown = cards(view);
    for (int i = 0; i < shown.size(); ++i) {
        if (shown[i]->isSelected) {
            return i;
        }
    }
    return -1;
}

QWidget* visibleChild(QWidget* view, const char* name)
{
    auto* child = view->findChild<QWidget*>(QLatin1String(name));
    return child && child->isVisibleTo(view) ? child : nullptr;
}

const QString checkout = QString::fromUtf8(BuildConfig::webBase) + QStringLiteral("/checkout?plan=");

}  // namespace

class PricingViewTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<testing::ServiceEnvironment> m_env;
    std::unique_ptr<TandrelController> m_ctrl;
    QList<QUrl> m_opened;

    std::unique_ptr<PricingView> openSheet()
    {
        m_ctrl->showPricing = true;
        auto view = std::make_unique<PricingView>(*m_ctrl);
        view->resize(900, 560);
        view->show();
        return view;
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<testing::ServiceEnvironment>();
        m_env->signIn();
        m_ctrl = std::make_unique<TandrelController>();
        m_opened.clear();
        Workspace::setOpener([this](const QUrl& url) {
            m_opened << url;
            return true;
        });
    }

    void cleanup()
    {
        Workspace::setOpener({});
        m_ctrl.reset();
        m_env.reset();
    }

    // The demo backend's trial account may take the trial: its plan answer and trial
    // answer bring the trial line onto the yearly card.
    void theDemoTrialAccountSeesTheTrialLine()
    {
        m_env->signIn(demo::DemoBackend::trialEmail);
        m_ctrl->showCurrentSubscription();
        QTRY_VERIFY_WITH_TIMEOUT(m_ctrl->isTrialPossible(), 5000);
        QTRY_COMPARE(m_ctrl->subscription(), TandrelController::expiredPlanText);
        auto view = openSheet();
        QTRY_VERIFY_WITH_TIMEOUT(!cards(view.get()).isEmpty(), 5000);
        int trialLines = 0;
        for (auto* card : cards(view.get())) {
            trialLines += card->findChild<QLabel*>("planTrial") ? 1 : 0;
        }
        QCOMPARE(trialLines, 1);
        testing::saveScreenshot(view.get(), QStringLiteral("pricing-trial-account"));
    }

    void purchaseOpensTheSelectedCheckoutWithTheTrialFlag_data()
    {
        QTest::addColumn<bool>("trialPossible");
        QTest::addColumn<int>("card");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("trialLine");
        const QString email = demo::DemoBackend::demoEmail;
        QTest::newRow("yearly while a trial is possible")
            << true << 2 << checkout + "1y&email=" + email + "&trial=1" << true;
        QTest::newRow("yearly once the trial is used") << false << 2 << checkout + "1y&email=" + email << false;
        QTest::newRow("the preselected half-year") << true << -1 << checkout + "6m&email=" + email << false;
        QTest::newRow("lifetime") << true << 3 << checkout + "lifetime&email=" + email << false;
    }

    void purchaseOpensTheSelectedCheckoutWithTheTrialFlag()
    {
        QFETCH(bool, trialPossible);
        QFETCH(int, card);
        QFETCH(QString, address);
        QFETCH(bool, trialLine);
        m_ctrl->isTrialPossible = trialPossible;
        auto view = openSheet();
        QVERIFY(visibleChild(view.get(), "loadingPanel"));
        QTRY_COMPARE(cardNames(view.get()), (QStringList{"Monthly", "Half-year", "Yearly", "Lifetime"}));
        QCOMPARE(selectedCard(view.get()), 1);
        QVERIFY(!visibleChild(view.get(), "extraSlotsNote"));
        if (card >= 0) {
            QTest::mouseClick(cards(view.get())[card], Qt::LeftButton);
            QTRY_COMPARE(selectedCard(view.get()), card);
        }
        auto* shown = cards(view.get())[selectedCard(view.get())];
        QCOMPARE(shown->findChild<QLabel*>("planTrial") != nullptr, trialLine);
        QTest::mouseClick(view->findChild<QAbstractButton*>("purchaseButton"), Qt::LeftButton);
        QCOMPARE(m_opened, QList<QUrl>{QUrl(address)});
        QVERIFY(m_ctrl->showPricing());
        if (QTest::currentDataTag() == QByteArray("yearly while a trial is possible")) {
            testing::saveScreenshot(view.get(), QStringLiteral("pricing-standard"));
        }
    }

    void cardsFillThePriceAndBenefitPatternsFromTheTable_data()
    {
        QTest::addColumn<bool>("spanish");
        QTest::addColumn<QString>("pricePrefix");
        QTest::newRow("english") << false << "$";
        QTest::newRow("spanish") << true << "US$";
    }

    void cardsFillThePriceAndBenefitPatternsFromTheTable()
    {
        QFETCH(bool, spanish);
        QFETCH(QString, pricePrefix);
        QTranslator table;
        if (spanish) {
            QVERIFY(table.load(QStringLiteral(":/i18n/pricingview_es.qm")));
            QCoreApplication::installTranslator(&table);
        }
        auto view = openSheet();
        QTRY_VERIFY(!cards(view.get()).isEmpty());
        for (auto* card : cards(view.get())) {
            QCOMPARE(card->findChild<QLabel*>("planPrice")->text(), pricePrefix + card->plan.price);
            QStringList benefits;
            for (auto* line : card->findChildren<QLabel*>("planBenefit")) {
                benefits << line->text();
            }
            QStringList expected;
            for (const QString& benefit : card->plan.benefits) {
                expected << QStringLiteral("• ") + benefit;
            }
            QCOMPARE(benefits, expected);
        }
        QCoreApplication::removeTranslator(&table);
    }

    void switchTogglesBetweenStandardPlansAndExtraSlots()
    {
        auto view = openSheet();
        QTRY_COMPARE(cards(view.get()).size(), 4);
        auto* toggle = view->findChild<QAbstractButton*>("planListSwitchButton");
        QCOMPARE(toggle->text(), QStringLiteral("View Extra Slots"));

        QTest::mouseClick(toggle, Qt::LeftButton);
        QVERIFY(m_ctrl->showExtraSlotsPricing());
        QVERIFY(view->isLoading());
        QTRY_VERIFY(visibleChild(view.get(), "extraSlotsNote"));
        QTRY_COMPARE(cardNames(view.get()), (QStringList{"1 extra slots", "3 extra slots", "5 extra slots"}));
        QCOMPARE(selectedCard(view.get()), 0);
        QCOMPARE(toggle->text(), QStringLiteral("Back to Standard Plans"));
        testing::saveScreenshot(view.get(), QStringLiteral("pricing-extra-slots"));
        QTest::mouseClick(view->findChild<QAbstractButton*>("purchaseButton"), Qt::LeftButton);
        QCOMPARE(m_opened.value(0).toString().section('&', 0, 0), checkout + "1slots1m");

        // Closing keeps the list: the next sheet opens on the extra slots again.
        QTest::mouseClick(view->findChild<QAbstractButton*>("closeButton"), Qt::LeftButton);
        QVERIFY(!m_ctrl->showPricing());
        view = openSheet();
        QTRY_COMPARE(cards(view.get()).size(), 3);
        QCOMPARE(selectedCard(view.get()), 1);

        QTest::mouseClick(view->findChild<QAbstractButton*>("planListSwitchButton"), Qt::LeftButton);
        QVERIFY(!m_ctrl->showExtraSlotsPricing());
        QTRY_COMPARE(cards(view.get()).size(), 4);
        QCOMPARE(selectedCard(view.get()), 0);
        QVERIFY(!visibleChild(view.get(), "extraSlotsNote"));
    }

    void failurePanelSaysWhatWentWrong_data()
    {
        QTest::addColumn<int>("status");  // 0: the connection drops
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("hint");
        QTest::newRow("no network") << 0 << QByteArray() << "Check your internet connection and try again.";
        QTest::newRow("500 with JSON") << 500 << QByteArray(R"({"message":"down"})")
                                       << "The server answered with an error. Please try again later.";
        QTest::newRow("HTML page") << 200 << QByteArray("<html>plans</html>")
                                   << "The server's answer could not be understood. Please try again later.";
        QTest::newRow("an object, not a list") << 200 << QByteArray(R"({"plans":[]})")
                                               << "The server's answer could not be understood. Please try again later.";
    }

    void failurePanelSaysWhatWentWrong()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, hint);
        if (status == 0) {
            m_env->answer("GET", "vpn/plans", {});
        } else {
            m_env->backend.setResponse("GET", "vpn/plans", status, body);
        }
        auto view = openSheet();
        QTRY_VERIFY(visibleChild(view.get(), "failurePanel"));
        QCOMPARE(view->findChild<QLabel*>("failureHint")->text(), hint);
        m_env->backend.clearFaults();
    }

    void failedListShowsRetryWhichRecovers()
    {
        m_env->answer("GET", "vpn/plans", {});
        auto view = openSheet();
        QTRY_VERIFY(visibleChild(view.get(), "failurePanel"));
        QVERIFY(cards(view.get()).isEmpty());
        testing::saveScreenshot(view.get(), QStringLiteral("pricing-failure"));
        QTest::mouseClick(view->findChild<QAbstractButton*>("purchaseButton"), Qt::LeftButton);
        QVERIFY(m_opened.isEmpty());

        // Only the shown list is asked for again; one plan comes back and is selected.
        m_env->answer("GET", "vpn/plans",
                      R"([{"name":"Weekly","total_days":7,"is_trial":false,"is_unlimited":false,"price":"2.99"}])");
        const qsizetype slotRequests = m_env->requestCount("GET", "vpn/slots");
        QTest::mouseClick(view->findChild<QAbstractButton*>("retryButton"), Qt::LeftButton);
        QTRY_COMPARE(cardNames(view.get()), QStringList{"Weekly"});
        QCOMPARE(selectedCard(view.get()), 0);
        QCOMPARE(cards(view.get())[0]->findChild<QLabel*>("planPrice")->text(), QStringLiteral("$2.99"));
        QCOMPARE(m_env->requestCount("GET", "vpn/slots"), slotRequests);
        QTest::mouseClick(view->findChild<QAbstractButton*>("purchaseButton"), Qt::LeftButton);
        QCOMPARE(m_opened.value(0).toString().section('&', 0, 0), checkout + "1w");

        // The extra-slot list loaded at the start is there behind the switch.
        m_env->answer("GET", "vpn/plans", {});
        QTest::mouseClick(view->findChild<QAbstractButton*>("planListSwitchButton"), Qt::LeftButton);
        QTRY_COMPARE(cards(view.get()).size(), 3);
    }

    void hostingDialogGrowsToShowTheCards()
    {
        // The main screen opens the sheet in a dialog while the small loading state shows.
        QDialog dialog;
        auto* layout = new QVBoxLayout(&dialog);
        layout->setContentsMargins(0, 0, 0, 0);
        m_ctrl->showPricing = true;
        auto* view = new PricingView(*m_ctrl);
        layout->addWidget(view);
        dialog.show();
        const QSize opened = dialog.size();
        QTRY_COMPARE(cards(view).size(), 4);
        QTRY_VERIFY(dialog.width() > opened.width());
        for (auto* card : cards(view)) {
            QVERIFY(card->height() >= card->heightForWidth(card->width()));
        }
        testing::saveScreenshot(&dialog, QStringLiteral("pricing-dialog"));
    }

    void closingWhileLoadingDropsTheAnswers()
    {
        demo::Fault slow;
        slow.delayMs = 150;
        m_env->backend.setFault("GET", "vpn/plans", slow);
        auto view = openSheet();
        QTest::mouseClick(view->findChild<QAbstractButton*>("closeButton"), Qt::LeftButton);
        QVERIFY(!m_ctrl->showPricing());
        view.reset();
        // A later request on the same slow route answers after the sheet's own did, which
        // arrives with the sheet and its controller gone: nothing is left to touch.
        bool answered = false;
        Client::shared().userPlans([&answered](std::optional<Error>, std::optional<JSON>) { answered = true; });
        QTRY_VERIFY(answered);
        QCOMPARE(m_env->requestCount("GET", "vpn/plans"), 2);
        QVERIFY(!m_ctrl->showPricing());
    }
};

TANDREL_TEST_MAIN_WIDGETS(PricingViewTest)
#include "tst_pricingview.moc"

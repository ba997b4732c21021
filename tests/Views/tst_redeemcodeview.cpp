#include "Controllers/ServiceTesting.h"
#include "Controllers/TandrelController.h"
#include "DemoBackend.h"
#include "Views/Sheets/RedeemCodeView.h"
#include "Views/Sheets/SheetControls.h"
#include "support/Screenshots.h"
#include "support/TestMain.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTranslator>
#include <QVBoxLayout>

using namespace tandrel;
using testing::ServiceEnvironment;

class RedeemCodeViewTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ServiceEnvironment> env;
    std::unique_ptr<TandrelController> ctrl;
    std::unique_ptr<QDialog> dialog;
    RedeemCodeView* sheet = nullptr;

    QLineEdit* field() { return sheet->findChild<QLineEdit*>(QStringLiteral("codeField")); }
    GradientButton* redeemButton() { return sheet->findChild<GradientButton*>(QStringLiteral("redeemButton")); }

    QList<demo::RecordedRequest> redeemRequests() const
    {
        return env->backend.requestsTo("POST", QStringLiteral("codes/applyByEmail"));
    }

private Q_SLOTS:
    void init()
    {
        env = std::make_unique<ServiceEnvironment>();
        env->signIn();
        ctrl = std::make_unique<TandrelController>();
        ctrl->code = QString();
        ctrl->showRedeem = true;
        // As the main screen presents it: a dialog holding the sheet.
        dialog = std::make_unique<QDialog>();
        auto* layout = new QVBoxLayout(dialog.get());
        layout->setContentsMargins(0, 0, 0, 0);
        sheet = new RedeemCodeView(*ctrl, dialog.get());
        layout->addWidget(sheet);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    }

    void cleanup()
    {
        dialog.reset();
        ctrl.reset();
        env.reset();
    }

    void redeemSendsTheCodeAsTypedAndClosesAtOnce_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("byReturn");
        QTest::addColumn<QString>("result");
        QTest::newRow("fresh code by click")
            << demo::DemoBackend::freshRedeemCode << false << "The code has been applied successfully.";
        QTest::newRow("used code by Return")
            << demo::DemoBackend::usedRedeemCode << true << "This code has already been used.";
        QTest::newRow("blanks kept") << "  ABC-123 " << false << QString();
        QTest::newRow("empty field") << "" << true << QString();
    }

    void redeemSendsTheCodeAsTypedAndClosesAtOnce()
    {
        QFETCH(QString, typed);
        QFETCH(bool, byReturn);
        QFETCH(QString, result);
        QTest::keyClicks(field(), typed);
        QCOMPARE(ctrl->code(), typed);
        if (!typed.isEmpty()) {
            testing::saveScreenshot(dialog.get(), QStringLiteral("redeem-sheet-typed"));
        }
        if (byReturn) {
            QTest::keyClick(field(), Qt::Key_Return);
        } else {
            QTest::mouseClick(redeemButton(), Qt::LeftButton);
        }
        QCOMPARE(ctrl->showRedeem(), false);
        QVERIFY(redeemRequests().isEmpty());  // the answer comes after the sheet has closed

        QTRY_COMPARE_WITH_TIMEOUT(redeemRequests().size(), 1, 5000);
        QVERIFY(redeemRequests().first().body.contains("\r\n\r\n" + typed.toUtf8() + "\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(ctrl->activeAlert().has_value(), 5000);
        QCOMPARE(ctrl->activeAlert()->kind(), TandrelController::ActiveAlert::Kind::redeem);
        if (!result.isEmpty()) {
            QCOMPARE(ctrl->activeAlert()->message(), result);
        }
    }

    void typingGoesToTheCodeFieldAtOnce()
    {
        dialog->activateWindow();
        QTRY_VERIFY(dialog->isActiveWindow());
        auto* field = sheet->findChild<QLineEdit*>(QStringLiteral("codeField"));
        QCOMPARE(QApplication::focusWidget(), field);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("ABC-123"));
        QCOMPARE(ctrl->code(), QStringLiteral("ABC-123"));
    }

    void closeKeepsTheTypedCodeAndSendsNothing()
    {
        QTest::keyClicks(field(), QStringLiteral("HALF-TYPED"));
        QTest::mouseClick(sheet->findChild<SheetCloseButton*>(QStringLiteral("closeButton")), Qt::LeftButton);
        QCOMPARE(ctrl->showRedeem(), false);
        QCOMPARE(ctrl->code(), QStringLiteral("HALF-TYPED"));
        // A later request has gone all the way; a redeem request, had one been started, went first.
        ctrl->showCurrentSubscription();
        QTRY_VERIFY_WITH_TIMEOUT(env->requestCount("GET", QStringLiteral("users/me/plan")) > 0, 5000);
        QVERIFY(redeemRequests().isEmpty());
    }

    void closeSymbolBrightensAndGrowsWhileHovered()
    {
        auto* close = sheet->findChild<SheetCloseButton*>(QStringLiteral("closeButton"));
        QCOMPARE(close->symbolOpacity(), 0.5);
        QCOMPARE(close->scale(), 1.0);
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), close->mapToGlobal(QPointF(5, 5)));
        QCoreApplication::sendEvent(close, &enter);
        QTRY_COMPARE(close->scale(), 1.1);
        QCOMPARE(close->symbolOpacity(), 0.8);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(close, &leave);
        QTRY_COMPARE(close->scale(), 1.0);
        QCOMPARE(close->symbolOpacity(), 0.5);
    }

    void fieldShowsTheControllersCode()
    {
        ctrl->code = QStringLiteral("FROM-ELSEWHERE");
        QCOMPARE(field()->text(), QStringLiteral("FROM-ELSEWHERE"));
        ctrl->code = QString();
        QCOMPARE(field()->text(), QString());
        QCOMPARE(field()->placeholderText(), QStringLiteral("Enter your code"));
        testing::saveScreenshot(dialog.get(), QStringLiteral("redeem-sheet"));
    }

    void textsComeFromTheSpanishTable()
    {
        QTranslator spanish;
        QVERIFY(spanish.load(QStringLiteral(":/i18n/redeemcodeview_es.qm")));
        QCoreApplication::installTranslator(&spanish);
        RedeemCodeView translated(*ctrl);
        QCoreApplication::removeTranslator(&spanish);
        QCOMPARE(translated.findChild<QLabel*>(QStringLiteral("titleLabel"))->text(),
                 QStringLiteral("Canjear un código de suscripción"));
        QCOMPARE(translated.findChild<QLineEdit*>(QStringLiteral("codeField"))->placeholderText(),
                 QStringLiteral("Introduce tu código"));
        QCOMPARE(translated.findChild<GradientButton*>(QStringLiteral("redeemButton"))->text(),
                 QStringLiteral("Canjear código"));
        translated.resize(translated.minimumSizeHint());
        testing::saveScreenshot(&translated, QStringLiteral("redeem-sheet-es"));
    }

    void sheetKeepsWithinItsSizes()
    {
        dialog->resize(1000, 800);
        QTRY_VERIFY(sheet->width() <= 600 && sheet->height() <= 350);
        dialog->resize(100, 100);
        QTRY_VERIFY(sheet->width() >= 400 && sheet->height() >= 250);
        QVERIFY(field()->parentWidget()->width() <= 300);
        QVERIFY(redeemButton()->width() <= 200);
    }

    void heldButtonShrinksUntilReleasedAnywhere()
    {
        QTest::mousePress(redeemButton(), Qt::LeftButton);
        QVERIFY(redeemButton()->isHeld());
        QTRY_COMPARE(redeemButton()->scale(), 0.95);
        // Released outside the button: nothing is sent, and it grows back.
        QTest::mouseRelease(redeemButton(), Qt::LeftButton, {}, QPoint(-20, -20));
        QVERIFY(!redeemButton()->isHeld());
        QTRY_COMPARE(redeemButton()->scale(), 1.0);
        QCOMPARE(ctrl->showRedeem(), true);
    }
};

TANDREL_TEST_MAIN_WIDGETS(RedeemCodeViewTest)
#include "tst_redeemcodeview.moc"

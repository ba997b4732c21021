#pragma once

#include "Platform/Published.h"

#include <QSize>
#include <QWidget>

class QLabel;
class QLayout;
class QLineEdit;

namespace tandrel {

class TandrelController;
class SheetCloseButton;
class GradientButton;

// The sizes the redeem-code sheet keeps within.
struct WindowSize {
    static constexpr QSize min{400, 250};
    static constexpr QSize max{600, 350};
};

// The sheet where the user types a subscription code. It hands the code to the controller
// and closes at once; the outcome arrives later as the main screen's redeem alert. The
// field is the controller's `code` itself: every keystroke writes it.
class RedeemCodeView : public QWidget {
    Q_OBJECT
public:
    explicit RedeemCodeView(TandrelController& ctrl, QWidget* parent = nullptr);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

    // The Redeem Code button and Return: send the code as typed, then close.
    void redeem();
    // The close button: close without sending; the typed text stays in the controller.
    void dismiss();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The sheet's parts, top to bottom.
    QLayout* buildHeader();
    QLabel* buildTitle();
    QWidget* buildCodeField();
    GradientButton* buildRedeemButton();

    QSize boundedHint(QSize hint) const;

    TandrelController& m_ctrl;
    SheetCloseButton* m_closeButton;
    QLineEdit* m_codeField;
    GradientButton* m_redeemButton;
    Cancellable m_codeSubscription;
};

}  // namespace tandrel

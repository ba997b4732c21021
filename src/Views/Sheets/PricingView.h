#pragma once

#include "Models/PricingViewPlan.h"
#include "Views/Sheets/SheetStyle.h"

#include <QFrame>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <vector>

class QLabel;
class QHBoxLayout;
class QVBoxLayout;

namespace tandrel {

class ActivityIndicator;
class GradientButton;
class PricingController;
class TandrelController;

// The sheet with the service's plans or its extra-slot offers as a row of cards. The user
// picks one and opens its checkout page in the browser; nothing is bought in the
// application. Each presentation gets a fresh PricingController and loads both lists; the
// list shown follows the connection controller's showExtraSlotsPricing.
class PricingView : public QWidget {
    Q_OBJECT
public:
    using Plan = PricingViewPlan;

    // The card of one plan: name, duration, price, benefits and, where the account may
    // still take one, the trial line. A click selects it.
    class PlanRow : public QFrame {
    public:
        PlanRow(const Plan& plan, bool isTrialPossible, bool isSelected, QWidget* parent = nullptr);

        const Plan plan;
        const bool isTrialPossible;
        const bool isSelected;
        std::function<void()> onTap;

    protected:
        void paintEvent(QPaintEvent* event) override;
        void mouseReleaseEvent(QMouseEvent* event) override;
    };

    explicit PricingView(TandrelController& ctrl, QWidget* parent = nullptr);
    ~PricingView() override;

    // The sheet's actions.
    void loadAllPlans();
    void retryLoadingPlans();
    void selectPlan(int index);
    void purchaseSelectedPlan();
    void togglePlanList();

    // The list on screen, chosen afresh from the flag each time.
    const std::vector<Plan>& shownPlans() const;
    bool isLoading() const { return m_isLoading; }
    int selectedPlanIndex() const { return m_selectedPlanIndex; }
    PricingController& pricingController() const { return *m_pricingController; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildHeader(QVBoxLayout* column);
    void buildContent(QVBoxLayout* column);
    void buildFooter(QVBoxLayout* column);
    void observe(PricingController* controller);
    void scheduleRender();
    void render();
    void rebuildCards();
    // What a retry or a switch does when its one list has loaded.
    void finishSingleLoad(const std::vector<Plan>& fetched);

    QPointer<TandrelController> m_ctrl;
    PricingController* m_pricingController;
    bool m_isHovered = false;
    bool m_isPressed = false;
    bool m_isLoading = true;
    int m_selectedPlanIndex = 1;
    bool m_isSwitchPressed = false;
    bool m_presented = false;
    NextTurnRedraw m_redraw{this, [this] { render(); }};

    QWidget* m_loadingPanel = nullptr;
    QWidget* m_failurePanel = nullptr;
    QWidget* m_planPanel = nullptr;
    QHBoxLayout* m_cardRow = nullptr;
    GradientButton* m_retryButton = nullptr;
    QLabel* m_failureHint = nullptr;
    GradientButton* m_purchaseButton = nullptr;
    GradientButton* m_switchButton = nullptr;
    QLabel* m_note = nullptr;
    QMetaObject::Connection m_ctrlConnection;
    QMetaObject::Connection m_pricingConnection;
};

}  // namespace tandrel

#pragma once

#include <QString>
#include <QStringList>

namespace tandrel {

// One offer on the pricing sheet. The sheet's widget names it `PricingView::Plan`
// (`using Plan = PricingViewPlan;`); it lives here so that the pricing controller in the
// core can build it without the widget layer. No identity or ordering of its own: the
// sheet addresses plans by their index.
struct PricingViewPlan {
    QString name;
    QString duration;     // "Forever", or the number of days followed by " days"
    QString price;        // the backend's text, unchanged (the sheet adds "$")
    QString purchaseURL;  // the checkout page; the sheet adds "&trial=1" for a trial
    QStringList benefits;
    bool isTrial = false;
};

}  // namespace tandrel

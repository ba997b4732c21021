#pragma once

#include "Models/PricingViewPlan.h"
#include "Network/Client.h"
#include "Network/JSON.h"
#include "Platform/Published.h"

#include <QString>

#include <functional>
#include <vector>

namespace tandrel {

// The pricing sheet's model: fetches the service's standard plans and its extra-slot
// offers, turns each acceptable entry into a plan with its checkout address, and publishes
// both lists. It caches and stores nothing; the sheet makes a fresh one each time it opens.
class PricingController : public ObservableObject {
    Q_OBJECT
public:
    using Completion = std::function<void()>;

    explicit PricingController(QObject* parent = nullptr);

    Published<std::vector<PricingViewPlan>> standardPlans{this};
    Published<std::vector<PricingViewPlan>> extraSlotsPlans{this};
    // What went wrong with the last load of each list, for the failure panel's sentence
    // (`network` after an answer that was read).
    Published<Client::FailureKind> standardPlansFailure{this, Client::FailureKind::network};
    Published<Client::FailureKind> extraSlotsPlansFailure{this, Client::FailureKind::network};

    // The short duration code used inside checkout addresses: years, months, weeks or days
    // ("1y", "6m", "4w", "6d"), each by integer division.
    static QString convertDaysToReadableFormat(qint64 totalDays);

    // The acceptable offers of a plans or an extra-slots answer, in the answer's order; an
    // answer that is not a list has none.
    static std::vector<PricingViewPlan> standardPlansFrom(const JSON& answer);
    static std::vector<PricingViewPlan> extraSlotsPlansFrom(const JSON& answer);

    // Replace the list as a whole on a later turn of the main loop, then call `completion`
    // there. A controller destroyed before that drops the answer: nothing is printed or
    // published and `completion` is not called.
    void fetchPlans(Completion completion);
    void fetchSlotPlans(Completion completion);
};

}  // namespace tandrel

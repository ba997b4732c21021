#include "Controllers/PricingController.h"

#include "BuildConfig.h"
#include "Classes/Preferences.h"
#include "Network/Client.h"
#include "Platform/Diagnostics.h"
#include "Platform/MainQueue.h"

#include <QPointer>
#include <QUrl>

#include <optional>

namespace tandrel {

namespace {

const QStringList kStandardBenefits = {
    QStringLiteral("5 devices"),
    QStringLiteral("Unlimited access to all VPN servers"),
    QStringLiteral("24/7 Technical support"),
    QStringLiteral("Premium support"),
};

// The checkout page of one offer, with the account's e-mail as stored, read afresh. The
// e-mail is percent-encoded where a query needs it ("+", "&", "#", "=", "%", spaces,
// non-ASCII); a plain address such as name@example.com reads exactly as stored.
QString checkoutAddress(const QString& planCode)
{
    const QString email = Preferences::defaultKeychain().get(Preferences::Keys::email).value_or(QString());
    return QString::fromUtf8(BuildConfig::webBase) + QStringLiteral("/checkout?plan=") + planCode +
           QStringLiteral("&email=") + QString::fromLatin1(QUrl::toPercentEncoding(email, "@"));
}

// The keys every offer has, read in this order by the typed optional accessors.
struct OfferTerms {
    qint64 totalDays = 0;
    bool isTrial = false;
    bool isUnlimited = false;
    QString price;
};

std::optional<OfferTerms> readOfferTerms(const JSON& element)
{
    OfferTerms terms;
    const std::optional<qint64> totalDays = element["total_days"].int_();
    if (!totalDays) {
        return std::nullopt;
    }
    terms.totalDays = *totalDays;
    const std::optional<bool> isTrial = element["is_trial"].bool_();
    if (!isTrial) {
        return std::nullopt;
    }
    terms.isTrial = *isTrial;
    const std::optional<bool> isUnlimited = element["is_unlimited"].bool_();
    if (!isUnlimited) {
        return std::nullopt;
    }
    terms.isUnlimited = *isUnlimited;
    const std::optional<QString> price = element["price"].string();
    if (!price) {
        return std::nullopt;
    }
    terms.price = JSON::shortened(*price);
    return terms;
}

PricingViewPlan makePlan(const QString& name, const QString& planCode, const OfferTerms& terms, QStringList benefits,
                         bool isTrial)
{
    PricingViewPlan plan;
    plan.name = name;
    plan.purchaseURL = checkoutAddress(planCode);
    plan.duration =
        terms.totalDays == 0 ? QStringLiteral("Forever") : QString::number(terms.totalDays) + QStringLiteral(" days");
    plan.price = terms.price;
    plan.benefits = std::move(benefits);
    plan.isTrial = isTrial;
    return plan;
}

// Keys read in order; the first missing or mistyped one drops the element.
std::optional<PricingViewPlan> parseStandardPlan(const JSON& element)
{
    const std::optional<QString> name = element["name"].string();
    if (!name) {
        return std::nullopt;
    }
    const std::optional<OfferTerms> terms = readOfferTerms(element);
    // The service's own trial entry is never offered.
    if (!terms || (terms->isTrial && *name == QLatin1String("Trial"))) {
        return std::nullopt;
    }
    return makePlan(terms->isUnlimited ? QStringLiteral("Lifetime") : JSON::shortened(*name),
                    terms->isUnlimited ? QStringLiteral("lifetime")
                                       : PricingController::convertDaysToReadableFormat(terms->totalDays),
                    *terms, kStandardBenefits, terms->isTrial || terms->totalDays == 365);
}

std::optional<PricingViewPlan> parseExtraSlotsPlan(const JSON& element)
{
    const std::optional<OfferTerms> terms = readOfferTerms(element);
    if (!terms) {
        return std::nullopt;
    }
    const std::optional<qint64> deviceCount = element["device_count"].int_();
    if (!deviceCount) {
        return std::nullopt;
    }
    const QString count = QString::number(*deviceCount);
    return makePlan(count + QStringLiteral(" extra slots"),
                    terms->isUnlimited ? count + QStringLiteral("slotslifetime")
                                       : count + QStringLiteral("slots") +
                                             PricingController::convertDaysToReadableFormat(terms->totalDays),
                    *terms,
                    {count + QStringLiteral(" additional devices"), QStringLiteral("Extend your device limit"),
                     QStringLiteral("24/7 Technical support")},
                    terms->isTrial);
}

using Parser = std::vector<PricingViewPlan> (*)(const JSON&);
using PlanList = Published<std::vector<PricingViewPlan>> PricingController::*;
using FailureOfList = Published<Client::FailureKind> PricingController::*;

// The answer of either list: parse what is acceptable, then publish on a later turn.
GetCompletion handleAnswer(QPointer<PricingController> controller, QString errorPrefix, Parser parse, PlanList target,
                           FailureOfList failureOfTarget, PricingController::Completion completion)
{
    return [controller, errorPrefix, parse, target, failureOfTarget, completion](std::optional<Error> error,
                                                                                 std::optional<JSON> json) {
        if (!controller) {
            return;
        }
        std::vector<PricingViewPlan> plans;
        Client::FailureKind failure = Client::FailureKind::network;
        if (error) {
            printLine(errorPrefix + error->localizedDescription());
            failure = Client::failureKind(*error);
        } else if (json) {
            plans = parse(*json);
            if (!json->array()) {
                failure = Client::FailureKind::notUnderstood;
            }
        }
        MainQueue::async([controller, plans = std::move(plans), target, failureOfTarget, failure, completion]() mutable {
            if (!controller) {
                return;
            }
            ((*controller).*failureOfTarget) = failure;
            ((*controller).*target) = std::move(plans);
            if (completion) {
                completion();
            }
        });
    };
}

std::vector<PricingViewPlan> acceptablePlans(const JSON& answer,
                                             std::optional<PricingViewPlan> (*parse)(const JSON&))
{
    std::vector<PricingViewPlan> plans;
    if (const std::optional<std::vector<JSON>> elements = answer.array()) {
        for (const JSON& element : *elements) {
            if (std::optional<PricingViewPlan> plan = parse(element)) {
                plans.push_back(std::move(*plan));
            }
        }
    }
    return plans;
}

}  // namespace

PricingController::PricingController(QObject* parent) : ObservableObject(parent) {}

std::vector<PricingViewPlan> PricingController::standardPlansFrom(const JSON& answer)
{
    return acceptablePlans(answer, parseStandardPlan);
}

std::vector<PricingViewPlan> PricingController::extraSlotsPlansFrom(const JSON& answer)
{
    return acceptablePlans(answer, parseExtraSlotsPlan);
}

QString PricingController::convertDaysToReadableFormat(qint64 totalDays)
{
    if (totalDays >= 365) {
        return QString::number(totalDays / 365) + QLatin1Char('y');
    }
    if (totalDays >= 30) {
        return QString::number(totalDays / 30) + QLatin1Char('m');
    }
    if (totalDays >= 7) {
        return QString::number(totalDays / 7) + QLatin1Char('w');
    }
    return QString::number(totalDays) + QLatin1Char('d');
}

void PricingController::fetchPlans(Completion completion)
{
    Client::shared().userPlans(handleAnswer(this, QStringLiteral("Error fetching plans: "), standardPlansFrom,
                                            &PricingController::standardPlans, &PricingController::standardPlansFailure,
                                            std::move(completion)));
}

void PricingController::fetchSlotPlans(Completion completion)
{
    Client::shared().userSlotPlans(handleAnswer(this, QStringLiteral("Error fetching slot plans: "),
                                                extraSlotsPlansFrom, &PricingController::extraSlotsPlans,
                                                &PricingController::extraSlotsPlansFailure, std::move(completion)));
}

}  // namespace tandrel

#include "Models/OptimalRegion.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace tandrel::OptimalRegion {

namespace {
// Wide enough to add a 64-bit distance and a 64-bit load without overflow, so a missing
// distance (2^63 - 1) still ranks candidates by their loads.
__extension__ typedef __int128 Score;

Score score(const VPNRegion& region)
{
    const qint64 distance = region.distance.value_or(std::numeric_limits<qint64>::max());
    return static_cast<Score>(distance) + static_cast<Score>(region.load_percentage);
}

// UTF-16 code-unit order differs from scalar order only where a surrogate (a scalar above
// U+FFFF) meets a unit in U+E000..U+FFFF. Moving the surrogates above that block makes
// the first differing unit decide in scalar order.
char16_t scalarOrderWeight(char16_t unit)
{
    if (unit >= 0xE000) {
        return static_cast<char16_t>(unit - 0x800);
    }
    if (unit >= 0xD800) {
        return static_cast<char16_t>(unit + 0x2000);
    }
    return unit;
}

bool scalarLess(const QString& left, const QString& right)
{
    const qsizetype common = std::min(left.size(), right.size());
    for (qsizetype i = 0; i < common; ++i) {
        const char16_t a = left.at(i).unicode();
        const char16_t b = right.at(i).unicode();
        if (a != b) {
            return scalarOrderWeight(a) < scalarOrderWeight(b);
        }
    }
    return left.size() < right.size();
}
}  // namespace

void sortByCountryName(std::vector<VPNRegion>& regions)
{
    // Normalise each name once, not once per comparison.
    std::vector<QString> keys;
    keys.reserve(regions.size());
    for (const VPNRegion& region : regions) {
        keys.push_back(region.country_name.normalized(QString::NormalizationForm_C));
    }
    std::vector<std::size_t> order(regions.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&keys](std::size_t a, std::size_t b) { return scalarLess(keys[a], keys[b]); });

    std::vector<VPNRegion> sorted;
    sorted.reserve(regions.size());
    for (std::size_t index : order) {
        sorted.push_back(std::move(regions[index]));
    }
    regions = std::move(sorted);
}

Choice choose(const std::vector<VPNRegion>& sortedRegions)
{
    Choice choice;
    choice.anyNearest = std::any_of(sortedRegions.begin(), sortedRegions.end(),
                                    [](const VPNRegion& region) { return region.is_nearest; });
    std::optional<Score> bestScore;
    for (std::size_t index = 0; index < sortedRegions.size(); ++index) {
        const VPNRegion& candidate = sortedRegions[index];
        if (choice.anyNearest && !candidate.is_nearest) {
            continue;
        }
        const Score candidateScore = score(candidate);
        if (!bestScore || candidateScore < *bestScore) {
            bestScore = candidateScore;
            choice.best = index;
        }
    }
    return choice;
}

VPNRegion makeOptimalEntry(const VPNRegion& best)
{
    VPNRegion entry = best;
    entry.country_name = label + best.country_name;
    return entry;
}

}  // namespace tandrel::OptimalRegion

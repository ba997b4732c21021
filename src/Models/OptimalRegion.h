#pragma once

#include "Models/VPNRegion.h"

#include <QString>

#include <optional>
#include <vector>

// The ordering of the region list and the choice of the optimal region, as pure steps so
// that the list's owner can publish after each and benchmarks can run them without a network.
namespace tandrel::OptimalRegion {

// The first line of the optimal entry's country name (ends in one line feed).
inline const QString label = QStringLiteral("Optimal region\n");

// Ascending by `country_name`: canonical (NFC) normalisation, then Unicode scalar order,
// case-sensitive and not locale-aware (Zambia < albania < Åland); stable.
void sortByCountryName(std::vector<VPNRegion>& regions);

struct Choice {
    // Index of the best candidate in the list given to `choose`; none for an empty list.
    std::optional<std::size_t> best;
    // False when no region is marked nearest, so every region was a candidate.
    bool anyNearest = false;
};

// Candidates are the nearest regions, or all regions when none is nearest. Score: distance
// plus load, a missing distance counting as 2^63 - 1, summed without overflow. The first
// candidate in list order wins ties.
Choice choose(const std::vector<VPNRegion>& sortedRegions);

// A copy of `best` whose country name reads "Optimal region\n" followed by its own.
VPNRegion makeOptimalEntry(const VPNRegion& best);

}  // namespace tandrel::OptimalRegion

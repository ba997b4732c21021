#pragma once

namespace tandrel {

// `Double.rounded(toPlaces:)`: value scaled by 10^places, rounded to the nearest whole
// number with halves away from zero, scaled back. Binary floating point throughout, so
// 1.005 to two places gives 1.0; negative places round to tens, hundreds and so on.
double rounded(double value, int toPlaces);

}  // namespace tandrel

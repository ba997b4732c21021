#include "Extensions/Double.h"

#include <cmath>

namespace tandrel {

double rounded(double value, int toPlaces)
{
    const double scale = std::pow(10.0, static_cast<double>(toPlaces));
    return std::round(value * scale) / scale;
}

}  // namespace tandrel

#include "Pace.h"

#include <algorithm>

namespace Orvex::Pace {

namespace {

int speedUp = 1;

} // namespace

int scaled(int ms)
{
    return ms <= 0 || speedUp == 1 ? ms : std::max(1, ms / speedUp);
}

void setSpeedUpForTesting(int factor)
{
    speedUp = std::max(1, factor);
}

} // namespace Orvex::Pace

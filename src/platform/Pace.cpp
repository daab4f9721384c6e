#include "Pace.h"

#include <algorithm>

namespace Orvex {

int Pace::scaled(int ms) const
{
    return ms <= 0 || m_speedUp == 1 ? ms : std::max(1, ms / m_speedUp);
}

void Pace::setSpeedUp(int factor)
{
    m_speedUp = std::max(1, factor);
}

} // namespace Orvex

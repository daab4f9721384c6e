#pragma once

#include <QtGlobal>

#include <functional>

namespace Orvex::SecureRandom {

// A uniformly distributed integer in [0, bound) from the system's
// cryptographically secure generator. `bound` must be at least 1.
quint32 uniform(quint32 bound);

// Test seam: replaces the generator for the rest of the process (an empty
// function restores the real one). The source receives the bound and must
// answer a value below it.
void setSourceForTesting(std::function<quint32(quint32 bound)> source);

} // namespace Orvex::SecureRandom

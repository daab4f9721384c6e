#include "SecureRandom.h"

#include <QRandomGenerator>

#include <random>

namespace Orvex::SecureRandom {

namespace {

std::function<quint32(quint32)> &sourceOverride()
{
    static std::function<quint32(quint32)> source;
    return source;
}

} // namespace

quint32 uniform(quint32 bound)
{
    Q_ASSERT(bound > 0);
    if (sourceOverride())
        return sourceOverride()(bound);
    // QRandomGenerator::system() reads the kernel's generator (getrandom); the
    // standard distribution rejects the draws that would favour low values.
    std::uniform_int_distribution<quint32> distribution(0, bound - 1);
    return distribution(*QRandomGenerator::system());
}

void setSourceForTesting(std::function<quint32(quint32)> source)
{
    sourceOverride() = std::move(source);
}

} // namespace Orvex::SecureRandom

#include "TunnelStatusSource.h"

namespace Orvex::TunnelStatusSource {

namespace {

Installer &installed()
{
    static Installer installer;
    return installer;
}

} // namespace

void observe(QObject *context, Observer observer)
{
    if (installed())
        installed()(context, std::move(observer));
}

void install(Installer installer)
{
    installed() = std::move(installer);
}

} // namespace Orvex::TunnelStatusSource

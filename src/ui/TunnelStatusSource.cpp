#include "TunnelStatusSource.h"

namespace Orvex::TunnelStatusSource {

namespace {

struct Source
{
    Installer installer;
    Reader connected;
};

Source &installed()
{
    static Source source;
    return source;
}

} // namespace

void observe(QObject *context, Observer observer)
{
    if (installed().installer)
        installed().installer(context, std::move(observer));
}

bool isConnected()
{
    return installed().connected && installed().connected();
}

void install(Installer installer, Reader connected)
{
    installed() = Source{std::move(installer), std::move(connected)};
}

} // namespace Orvex::TunnelStatusSource

#include "NetworkConnectivity.h"

namespace Orvex {

NetworkConnectivity::NetworkConnectivity(QObject *parent)
    : QObject(parent)
{}

NetworkConnectivity::~NetworkConnectivity() = default;

void NetworkConnectivity::report(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    Q_EMIT changed(state);
}

} // namespace Orvex

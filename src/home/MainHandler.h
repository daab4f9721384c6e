#pragma once

#include "api/DeviceUsageModel.h"
#include "ui/BaseHandler.h"

#include <QDateTime>

#include <functional>

namespace Orvex {

class NetworkService;
class VPNService;

// The main screen's logic: turns the stored sign-in into a running tunnel,
// switches it from the main button, re-checks the stored credentials in the
// background and fetches the month's usage for the chart. Errors of the
// certificate requests (and a tunnel configuration that cannot be read) go to
// `resultHandler`; everything else shows in the tunnel's status changes.
class MainHandler final : public BaseHandler
{
    Q_OBJECT

public:
    // Works the given tunnel service (the process's shared one in the client)
    // through `network`, and starts the one-time credential re-check.
    MainHandler(VPNService &service, NetworkService &network, QObject *parent = nullptr);
    ~MainHandler() override;

    VPNService &service() const { return m_service; }

    // Sends getUser with the stored e-mail and password, unless one is missing
    // or a check is already running. The answer is not used beyond ending the
    // check: it only keeps the service's view of the session fresh.
    void checkCurrentUser();

    // The main button: switches a connected tunnel off, otherwise connects.
    void mainButtonAction();
    // The user's Turn ON and Turn OFF, as the main button runs them, for the
    // ways in beside the window (the command line over the session bus).
    // Turn OFF stops the tunnel whatever its live state, so it also lifts a
    // block.
    void turnOn();
    void turnOff();

    // With a stored certificate the tunnel is brought up from its live state
    // (a tunnel that is up already stays up); without one, or with one that
    // is not yet valid, expired or ends within a week, a new certificate is
    // fetched first, then the tunnel connects (signed out, there is nothing to
    // fetch and nothing happens). When that renewal fails while the old
    // certificate is still valid, the tunnel connects with the old one.
    void connect();

    // Asks for this machine's usage of the current month; a decoded answer is
    // posted as "DidRecieveDeviceUsage" with the DeviceUsageModel as object.
    // Failures post nothing. Without a stored e-mail there is no machine to ask
    // about, and nothing is sent.
    void getDeviceUsage();

    // The clock of the usage request and of the certificate's validity
    // (tests pin the day).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

Q_SIGNALS:
    // The switch has been handed to the tunnel service: from here on only
    // status changes tell what happens.
    void tunnelOperationStarted();
    // The month's usage has arrived (`getDeviceUsage`).
    void didRecieveDeviceUsage(const Orvex::DeviceUsageModel &usage);

private:
    // Loads the saved tunnel configuration, then toggles; with
    // `keepConnected` a tunnel found up is left up, without it the tunnel is
    // stopped (never started, even if it went down meanwhile). A configuration that
    // cannot be read is reported, so the screen does not wait for a status
    // change that will never come.
    void loadThenToggle(bool keepConnected);

    VPNService &m_service;
    NetworkService &m_network;
    bool m_isCheckingUser = false; // a re-check is in flight: another is not started
    std::function<QDateTime()> m_clock;
};

} // namespace Orvex

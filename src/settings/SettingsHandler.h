#pragma once

#include "ui/BaseHandler.h"

namespace Orvex {

class VPNService;

// The settings screen's logic: signing out.
class SettingsHandler final : public BaseHandler
{
    Q_OBJECT

public:
    // On the given tunnel service (the process's one; tests hand one over
    // with a fake backend) and its session.
    explicit SettingsHandler(VPNService &service, QObject *parent = nullptr);
    ~SettingsHandler() override;

    VPNService &service() const { return m_service; }

    // Takes the tunnel down first (at once when it is not up), then forgets
    // the account and slides the start screen in as the window's new root.
    // A password the keyring did not confirm gone is said on stderr (the next
    // start removes it).
    // When the tunnel's configuration cannot be loaded or saved the tunnel
    // service stops there: the account stays and nothing changes on screen.
    void logout();

private:
    VPNService &m_service;
};

} // namespace Orvex

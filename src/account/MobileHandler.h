#pragma once

#include "ui/BaseHandler.h"

#include <QString>

#include <optional>

namespace Orvex {

class NetworkService;
class UserDefaults;

// The logic of the phone screen: asks the service whether the number is a
// real mobile number, makes a 4-digit confirmation code, keeps it (and the
// number) in the session store and has the service send it by SMS; then the
// code screen follows. The code is made and later checked on this machine;
// the service only carries the SMS. Nothing is retried by itself.
class MobileHandler final : public BaseHandler
{
    Q_OBJECT

public:
    // Keeps the number and the code in `defaults`; asks through `network`.
    MobileHandler(UserDefaults &defaults, NetworkService &network, QObject *parent = nullptr);

    // The full number being verified: country code and number.
    std::optional<QString> mobile;

    void send(const QString &number);

    // `value` (0 to 9999) as the four digits the SMS carries, zeros kept.
    static QString confirmationCode(quint32 value);

private:
    void requestCode();
    void sendCode(const QString &verification);

    UserDefaults &m_defaults;
    NetworkService &m_network;
};

} // namespace Orvex

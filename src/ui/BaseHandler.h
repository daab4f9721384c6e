#pragma once

#include "api/Error.h"

#include <QObject>

#include <functional>
#include <optional>

namespace Orvex {

// How a handler reports the end of an operation: no error means success.
using ResultHandler = std::function<void(const std::optional<Error> &)>;

// The logic object of a screen. It follows the tunnel state so that every
// handler knows whether the tunnel is connected, read from the tunnel when
// asked.
class BaseHandler : public QObject
{
    Q_OBJECT

public:
    explicit BaseHandler(QObject *parent = nullptr);
    ~BaseHandler() override;

    ResultHandler resultHandler;

    // Tunnel connected now. Until the tunnel's first news has reached this
    // handler it answers "connected".
    bool status() const;

    // Reports a result through `resultHandler` when there is one.
    void report(const std::optional<Error> &error = std::nullopt) const;

protected:
    // Called after every change of `status`.
    virtual void connectionStatusDidChange() {}

private:
    void vpnConnectionDidChange();

    bool m_heard = false; // the tunnel's news has reached this handler
};

} // namespace Orvex

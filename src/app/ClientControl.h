#pragma once

#include "base/Outcome.h"

#include <QDBusConnection>
#include <QDateTime>
#include <QLatin1String>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <deque>
#include <functional>

namespace Orvex {

class MainHandler;
struct Config;
class NetworkService;
class VPNService;

// The running client seen from outside the window: the tunnel's state and
// the user's Turn ON and Turn OFF, for the command line (orvexctl) and status
// bars, exported on the session bus as described in org.orvex.Client1.xml
// beside this file. Connect and Disconnect run the main button's own paths
// (MainHandler), so a tunnel switched from a terminal behaves exactly as one
// switched in the window. It also keeps what a help-desk ticket needs: the
// last hour of states and the last errors, bounded, in memory only.
class ClientControl final : public QObject
{
    Q_OBJECT

public:
    static constexpr QLatin1String serviceName{"org.orvex.Client1"};
    static constexpr QLatin1String objectPath{"/org/orvex/Client"};
    static constexpr QLatin1String interfaceName{"org.orvex.Client1"};
    static constexpr QLatin1String signedOutError{"org.orvex.Client1.Error.SignedOut"};
    // What the history keeps: the last hour, at most this many changes.
    static constexpr int historySeconds = 3600;
    static constexpr int historyLimit = 256;
    static constexpr int errorsLimit = 16;

    // The diagnostics report the settings of `config` that decide the
    // client's behaviour.
    ClientControl(VPNService &service, NetworkService &network, const Config &config,
                  QObject *parent = nullptr);
    ~ClientControl() override;

    // Exports the object on `bus` and asks for the well-known name (without
    // waiting for the bus: a D-Bus activation's caller waits for it instead).
    Outcome<> publish(const QDBusConnection &bus);
    QDBusConnection bus() const { return m_bus; }

    // The properties, by their names on the bus.
    QVariantMap properties() const { return m_properties; }

    // The main button's Turn ON; refused while signed out, with a sentence.
    Outcome<> turnOn();
    // The main button's Turn OFF, which also lifts a block.
    void turnOff();

    // The help-desk report as JSON text; `done` runs later on this thread,
    // once the tunnel's daemon has answered (or not in time).
    void diagnostics(std::function<void(const QString &report)> done);

    // The report's e-mail: only its domain.
    static QString redactedEmail(const QString &email);

Q_SIGNALS:
    // After every change of a property, with all of them.
    void changed(const QVariantMap &properties);

private:
    struct Entry
    {
        QDateTime at;
        QString state;
        QString status;
        QString text; // the reason, or the error
    };

    MainHandler &handler();
    void failed(const QString &reason);
    // Reads the properties again; a change is stamped, kept and told.
    void refresh();
    QVariantMap read() const;
    QString reason() const;
    void prune(std::deque<Entry> &entries, std::size_t limit) const;
    void announce(const QVariantMap &changedProperties);

    VPNService &m_service;
    NetworkService &m_network;
    const Config &m_config;
    MainHandler *m_handler = nullptr;
    QDBusConnection m_bus;
    bool m_published = false;
    // As last published: read again at every change of the tunnel, so that
    // a change is told (and stamped) against what the bus last saw.
    QVariantMap m_properties;
    QString m_failure; // the last Connect's failure, until the next switch
    std::deque<Entry> m_history;
    std::deque<Entry> m_errors;
};

} // namespace Orvex

#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QVariantMap>

#include <optional>

// The running client's control interface (org.orvex.Client1 on the session
// bus) as orvexctl uses it. A call to the name starts the client through
// D-Bus activation when it is not running; the bus answers an error when it
// cannot be started.
class ControlClient final : public QObject
{
    Q_OBJECT

public:
    // orvexctl's exit statuses.
    enum Exit { Connected = 0, NotConnected = 1, Failure = 2, SignedOut = 3 };

    static constexpr int callTimeoutMs = 30000; // the bus gives an activation 25 s

    explicit ControlClient(const QDBusConnection &bus, QObject *parent = nullptr);

    // Every property, checked: the known names with their types, each text
    // bounded. Absent after an error, which `error` then holds.
    std::optional<QVariantMap> properties(QString *error);
    QDBusMessage call(const QString &method);
    // From now on `changed` follows the client's Changed signal, and
    // `presence` the client coming and going (without starting it).
    bool follow();

    // The one line `status` prints, and the JSON line of `status --json`
    // and `watch`.
    static QString line(const QVariantMap &properties);
    static QByteArray json(const QVariantMap &properties);
    // The properties as `watch` shows a client that is not running.
    static QVariantMap notRunning();
    // What the client or the bus said, for a terminal: control characters
    // replaced, at most `limit` characters.
    static QString printable(const QString &text, int limit = 500);

Q_SIGNALS:
    void changed(const QVariantMap &properties);
    void presence(bool running);

private Q_SLOTS:
    void onChanged(const QVariantMap &properties);

private:
    // The known names with their types, each text bounded; absent when one
    // is missing or of another type.
    static std::optional<QVariantMap> checked(const QVariantMap &given, QString *error);

    QDBusConnection m_bus;
};

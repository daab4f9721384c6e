#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace Orvex {

class ClientControl;

// ClientControl on the session bus: org.orvex.Client1, as
// org.orvex.Client1.xml describes it (a test holds the two together). Every
// answer comes from ClientControl; nothing here decides.
class ClientControlAdaptor final : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.orvex.Client1")
    Q_PROPERTY(QString State READ state)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QString Reason READ reason)
    Q_PROPERTY(QString LastChange READ lastChange)
    Q_PROPERTY(QString Gateway READ gateway)
    Q_PROPERTY(QStringList VirtualAddresses READ virtualAddresses)
    Q_PROPERTY(QString Email READ email)

public:
    explicit ClientControlAdaptor(ClientControl *control);

    QString state() const { return text("State"); }
    QString status() const { return text("Status"); }
    QString reason() const { return text("Reason"); }
    QString lastChange() const { return text("LastChange"); }
    QString gateway() const { return text("Gateway"); }
    QStringList virtualAddresses() const;
    QString email() const { return text("Email"); }

    // Each call's message comes last, unseen on the bus: the answer to it may
    // be an error, or come later.
public Q_SLOTS:
    void Connect(const QDBusMessage &call);
    void Disconnect();
    QString Diagnostics(const QDBusMessage &call);

Q_SIGNALS:
    void Changed(const QVariantMap &properties);

private:
    QString text(const char *name) const;

    ClientControl *m_control;
};

} // namespace Orvex

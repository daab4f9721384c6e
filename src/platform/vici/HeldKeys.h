#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace Orvex {

// Every private key this client (in this run or an earlier one) gave charon
// and has not seen taken out: a key stays in charon until it is unloaded or
// charon restarts, also past sign-out, Quit and the certificate's renewal.
// The ids are kept in an owner-only file as they change, so that a later run
// still takes out what an earlier one left; with no file, in memory only.
class HeldKeys final
{
public:
    // Reads what an earlier run left in `file`.
    explicit HeldKeys(const QString &file);

    const QList<QByteArray> &ids() const { return m_ids; }
    // Remembered before the key is sent: a process that ends before the
    // answer leaves the id to a later run.
    void add(const QByteArray &id);
    // charon no longer holds it.
    void remove(const QByteArray &id);

private:
    void write() const;

    QString m_file;
    QList<QByteArray> m_ids;
};

} // namespace Orvex

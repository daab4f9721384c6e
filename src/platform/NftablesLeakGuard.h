#pragma once

#include "platform/LeakGuard.h"

#include <QByteArray>
#include <QString>

namespace Orvex {

// The leak guard as an nftables table of our own (`inet orvex`), replaced
// only by one transaction at a time. It coexists with the user's own tables:
// their rules still apply, and a drop of ours wins over an accept of theirs.
// Needs CAP_NET_ADMIN in the network namespace it guards.
class NftablesLeakGuard final : public LeakGuard
{
public:
    // `networkNamespace`: the file of the namespace whose traffic is guarded
    // (/run/netns/NAME); empty for this process's own.
    explicit NftablesLeakGuard(QString networkNamespace = {}, QByteArray tableName = "orvex");

    Outcome<> apply(const LeakPolicy &policy) override;
    Outcome<> verify() override;
    bool isInPlace() override;
    void lookUp(const QString &host, QObject *context, Addresses done) override;

    // The nftables script that puts `policy` in force in table `table`: one
    // transaction that makes the table (so the delete never fails), deletes
    // it and makes it anew, or only deletes it for an open policy. Without
    // `replace` (no table of that name exists) it only makes the table.
    static QByteArray script(const LeakPolicy &policy, const QByteArray &table, bool replace = true);

private:
    // Runs `commands` in the guarded namespace; the listing nft printed.
    Outcome<QByteArray> run(const QByteArray &commands);

    QString m_namespace;
    QByteArray m_table;
    QByteArray m_applied; // the table's listing right after the last apply; empty when open
    LeakPolicy m_policy;  // what the last apply put in force
};

} // namespace Orvex

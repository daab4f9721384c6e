#pragma once

#include "platform/LeakGuard.h"
#include "platform/ThreadHandOff.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <functional>
#include <optional>

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
    ~NftablesLeakGuard() override;

    Outcome<> apply(const LeakPolicy &policy) override;
    Outcome<> verify() override;
    bool isInPlace() override;
    bool isSettled() const override { return !m_busy; }
    void whenSettled(std::function<void()> settled) override { m_settled = std::move(settled); }
    void lookUp(const QString &host, QObject *context, Addresses done) override;

    // The nftables script that puts `policy` in force in table `table`: one
    // transaction that makes the table (so the delete never fails), deletes
    // it and makes it anew, or only deletes it for an open policy. Without
    // `replace` (no table of that name exists) it only makes the table.
    static QByteArray script(const LeakPolicy &policy, const QByteArray &table, bool replace = true);

private:
    struct Done
    {
        Outcome<> outcome = Outcome<>::success();
        QByteArray applied; // the table's listing after the change; empty when open
    };
    // Runs `commands` in the guarded namespace; the listing nft printed.
    // Safe on any thread: it enters the namespace for this thread alone.
    static Outcome<QByteArray> run(const QString &networkNamespace, const QByteArray &commands);
    // Puts `policy` in force where `before` (listed as `applied`) was.
    static Done transact(const QString &networkNamespace, const QByteArray &table, const LeakPolicy &policy,
                         const LeakPolicy &before, const QByteArray &applied);
    void finished(const LeakPolicy &policy, const Done &done);

    const QString m_namespace;
    const QByteArray m_table;
    QByteArray m_applied; // the table's listing right after the last apply; empty when open
    LeakPolicy m_policy;  // what the last apply put in force
    bool m_busy = false;  // a change runs on the worker
    std::optional<LeakPolicy> m_next;
    QString m_error; // why the last change off the main thread failed
    std::function<void()> m_settled;
    ThreadHandOff m_toWorker; // orders what a change carries to the worker ...
    ThreadHandOff m_toMain;   // ... and what its answer carries back
    QObject m_receiver;       // the worker's answers arrive here, on the main thread
    QThreadPool m_worker;     // destroyed first: waits for the change under way
};

} // namespace Orvex

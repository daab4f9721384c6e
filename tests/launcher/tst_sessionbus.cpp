#include "PrivateBus.h"

#include "platform/SessionBus.h"
#include "platform/SingleInstance.h"

#include <QDBusConnection>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <optional>

using namespace Orvex;

namespace {

std::optional<bool> askOwned(const QString &name)
{
    std::optional<bool> answer;
    QObject context;
    SessionBus::isNameOwned(name, &context, [&answer](bool owned) { answer = owned; });
    if (!QTest::qWaitFor([&answer] { return answer.has_value(); }, 10000))
        return std::nullopt;
    return answer;
}

} // namespace

class tst_SessionBus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void nameOwnership();
    void singleInstance();
    void singleInstanceWithoutBus();

private:
    QDBusConnection openConnection(const QString &name);

    PrivateBus m_bus;
    QStringList m_connections;
};

// Another client, as another process would have it.
QDBusConnection tst_SessionBus::openConnection(const QString &name)
{
    m_connections.append(name);
    return QDBusConnection::connectToBus(m_bus.address(), name);
}

void tst_SessionBus::initTestCase()
{
    QVERIFY2(m_bus.isRunning(), qPrintable(m_bus.error()));
    m_bus.exportAsSessionBus();
    QVERIFY(QDBusConnection::sessionBus().isConnected());
}

void tst_SessionBus::cleanupTestCase()
{
    for (const QString &name : std::as_const(m_connections))
        QDBusConnection::disconnectFromBus(name);
    m_bus.stop();
}

void tst_SessionBus::nameOwnership()
{
    const QString name = QStringLiteral("com.orvex.test.owned");
    QCOMPARE(askOwned(name), std::optional<bool>(false));
    QDBusConnection other = openConnection(QStringLiteral("owner"));
    QVERIFY(other.registerService(name));
    QCOMPARE(askOwned(name), std::optional<bool>(true));
    QVERIFY(other.unregisterService(name));
    QCOMPARE(askOwned(name), std::optional<bool>(false));

    // An answer whose context is gone is dropped. The bus answers in order, so
    // once the later question is answered the earlier answer has come in.
    bool droppedCalled = false;
    auto *gone = new QObject;
    SessionBus::isNameOwned(name, gone, [&droppedCalled](bool) { droppedCalled = true; });
    delete gone;
    QCOMPARE(askOwned(name), std::optional<bool>(false));
    QCoreApplication::processEvents();
    QVERIFY(!droppedCalled);
}

void tst_SessionBus::singleInstance()
{
    const QString appId = QStringLiteral("com.orvex.test.client");
    auto first = std::make_unique<SingleInstance>();
    QSignalSpy reopened(first.get(), &SingleInstance::reopenRequested);
    QCOMPARE(first->claim(appId), SingleInstance::Claim::FirstInstance);

    SingleInstance second(openConnection(QStringLiteral("second")));
    QCOMPARE(second.claim(appId), SingleInstance::Claim::AlreadyRunning);
    std::optional<bool> delivered;
    second.requestReopen([&delivered](bool ok) { delivered = ok; });
    QTRY_COMPARE(delivered, std::optional<bool>(true));
    QCOMPARE(reopened.size(), 1);

    // The first quits: nobody answers any more, and the next client is first.
    first.reset();
    QTRY_COMPARE(askOwned(appId), std::optional<bool>(false));
    delivered.reset();
    second.requestReopen([&delivered](bool ok) { delivered = ok; });
    QTRY_COMPARE(delivered, std::optional<bool>(false));
    SingleInstance third(openConnection(QStringLiteral("third")));
    QCOMPARE(third.claim(appId), SingleInstance::Claim::FirstInstance);
}

void tst_SessionBus::singleInstanceWithoutBus()
{
    m_connections.append(QStringLiteral("dead"));
    SingleInstance instance(
            QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                          QStringLiteral("dead")));
    QCOMPARE(instance.claim(QStringLiteral("com.orvex.test.nobus")),
             SingleInstance::Claim::FirstInstance);

    // Answered later, like a real call, never from inside requestReopen.
    std::optional<bool> delivered;
    instance.requestReopen([&delivered](bool ok) { delivered = ok; });
    QVERIFY(!delivered.has_value());
    QTRY_COMPARE(delivered, std::optional<bool>(false));
}

QTEST_GUILESS_MAIN(tst_SessionBus)
#include "tst_sessionbus.moc"

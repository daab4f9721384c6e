#pragma once

// Keeps what an asynchronous call completes with, and how often it completed.

#include "api/NetworkService.h"
#include "api/Result.h"

#include <QNetworkReply>
#include <QTest>

#include <optional>

// Counts the events of one type that reach the objects it watches, whatever
// they then do with them.
class EventCounter : public QObject
{
public:
    explicit EventCounter(QEvent::Type type)
        : m_type(type)
    {}
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == m_type;
        return false;
    }

private:
    QEvent::Type m_type;
};

template<typename T>
struct Capture
{
    std::optional<Orvex::Result<T>> result;
    int calls = 0;
    Orvex::Completion<T> completion()
    {
        return [this](const Orvex::Result<T> &r) {
            result = r;
            ++calls;
        };
    }
    bool wait(int ms = 60000)
    {
        return QTest::qWaitFor([this] { return result.has_value(); }, ms);
    }
};

// Every request `network` started has been answered and handled: replies
// belong to the network service's manager until their completion has run.
inline bool networkIsIdle(const Orvex::NetworkService &network)
{
    return network.findChildren<QNetworkReply *>().isEmpty();
}

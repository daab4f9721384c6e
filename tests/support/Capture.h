#pragma once

// Keeps what an asynchronous call completes with, and how often it completed.

#include "api/NetworkService.h"
#include "api/Result.h"

#include <QNetworkReply>
#include <QTest>

#include <optional>

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

// Every request the client started has been answered and handled: replies
// belong to the network service's manager until their completion has run.
inline bool networkIsIdle()
{
    return Orvex::NetworkService::shared().findChildren<QNetworkReply *>().isEmpty();
}

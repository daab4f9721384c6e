#pragma once

// Keeps what an asynchronous call completes with, and how often it completed.

#include "api/Result.h"

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

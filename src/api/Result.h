#pragma once

#include "api/Error.h"
#include "base/Outcome.h"

#include <functional>

namespace Orvex {

// The value of a successful operation that answers nothing.
struct Empty
{
    bool operator==(const Empty &) const = default;
};

// The outcome of a service operation: the decoded answer or an error.
template<typename T>
using Result = Outcome<T, Error>;

template<typename T>
using Completion = std::function<void(const Result<T> &)>;

} // namespace Orvex

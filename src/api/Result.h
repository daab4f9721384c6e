#pragma once

#include "api/Error.h"

#include <functional>
#include <utility>
#include <variant>

namespace Orvex {

// The value of a successful operation that answers nothing.
struct Empty
{
    bool operator==(const Empty &) const = default;
};

// The outcome of a service operation: the decoded answer or an error.
template<typename T>
class Result
{
public:
    static Result success(T value = T{}) { return Result(std::move(value)); }
    static Result failure(Error error) { return Result(std::move(error)); }

    bool isSuccess() const { return m_value.index() == 0; }
    const T &value() const { return std::get<0>(m_value); }
    const Error &error() const { return std::get<1>(m_value); }

private:
    explicit Result(T value)
        : m_value(std::in_place_index<0>, std::move(value))
    {}
    explicit Result(Error error)
        : m_value(std::in_place_index<1>, std::move(error))
    {}

    std::variant<T, Error> m_value;
};

template<typename T>
using Completion = std::function<void(const Result<T> &)>;

} // namespace Orvex

#pragma once

#include <QString>

#include <cstddef>
#include <type_traits>
#include <utility>
#include <variant>

namespace Orvex {

// What an operation came to: its value, or why it failed. The one way every
// layer says so: the platform and the tunnel with a line a person can read
// (the default), the service requests with their Error (Result<T>), a few
// callers with a code of their own. `Outcome<>` carries no value.
//
// Dropping one is a warning, and the build treats warnings as errors: a
// failure nobody looked at is what this type is here to prevent. A caller
// that means to drop one says so where it does, with `std::ignore =` and why.
template<typename T = std::monostate, typename E = QString>
class [[nodiscard]] Outcome
{
public:
    static Outcome success(T value = T{}) { return Outcome(std::in_place_index<0>, std::move(value)); }
    static Outcome failure(E error) { return Outcome(std::in_place_index<1>, std::move(error)); }

    bool isSuccess() const { return m_value.index() == 0; }
    // The value of a success; a failure has none.
    const T &value() const { return std::get<0>(m_value); }
    // The value, or `fallback` for a caller to whom every failure means the same.
    T valueOr(T fallback) const { return isSuccess() ? value() : std::move(fallback); }
    // Why it failed. A success has no error: an empty one where E has an empty
    // value (a reason in words), and none to ask for otherwise.
    E error() const
    {
        if constexpr (std::is_default_constructible_v<E>) {
            if (isSuccess())
                return E{};
        }
        return std::get<1>(m_value);
    }

    bool operator==(const Outcome &) const = default;

private:
    template<std::size_t Index, typename V>
    Outcome(std::in_place_index_t<Index> index, V &&value)
        : m_value(index, std::forward<V>(value))
    {}

    std::variant<T, E> m_value;
};

} // namespace Orvex

#pragma once

#include <QString>

#include <cstddef>
#include <utility>
#include <variant>

namespace Orvex {

// What an operation of the tunnel layer came to: its value, or why it failed
// as one line the main screen can show. `Outcome<>` carries no value.
template<typename T = std::monostate>
class Outcome
{
public:
    static Outcome success(T value = T{}) { return Outcome(std::in_place_index<0>, std::move(value)); }
    static Outcome failure(QString reason) { return Outcome(std::in_place_index<1>, std::move(reason)); }

    bool isSuccess() const { return m_value.index() == 0; }
    const T &value() const { return std::get<0>(m_value); }
    // Why it failed; nothing for a success.
    QString error() const { return isSuccess() ? QString() : std::get<1>(m_value); }

    bool operator==(const Outcome &) const = default;

private:
    template<std::size_t Index, typename V>
    Outcome(std::in_place_index_t<Index> index, V &&value)
        : m_value(index, std::forward<V>(value))
    {}

    std::variant<T, QString> m_value;
};

} // namespace Orvex

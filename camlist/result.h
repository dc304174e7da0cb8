#pragma once

#include <QString>
#include <utility>
#include <variant>

// Why an operation failed: a code the program can act on, and one sentence for the user, made
// where the failure is known so that it reaches the message box unchanged.
template <typename Code> struct Failure
{
    Code code{};
    QString text;
};

// The value of an operation that gives nothing but success.
struct Done
{};

// What an operation that can fail gives: its value, or why it failed. The file layer, the run
// and the transfer layer all report this way.
template <typename T = Done, typename Code = int> class [[nodiscard]] Result
{
public:
    Result(T value) : m_value(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<Code> failure) : m_value(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return m_value.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    T& value() & { return std::get<0>(m_value); }
    const T& value() const& { return std::get<0>(m_value); }
    T&& value() && { return std::get<0>(std::move(m_value)); }

    // Only when not ok().
    const Failure<Code>& failure() const { return std::get<1>(m_value); }
    // Only when not ok(): a success has no code, and asking for one throws.
    Code code() const { return failure().code; }
    // The sentence for the user; empty when it worked.
    QString text() const { return ok() ? QString() : failure().text; }

private:
    std::variant<T, Failure<Code>> m_value;
};

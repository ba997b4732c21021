#pragma once

#include "Platform/Error.h"

#include <optional>
#include <utility>
#include <variant>

namespace tandrel {

// The value of an operation that can fail synchronously (what a throwing call returns).
template <typename T>
class Result {
public:
    Result(T value) : m_state(std::move(value)) {}      // NOLINT(google-explicit-constructor)
    Result(Error error) : m_state(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return std::holds_alternative<T>(m_state); }
    explicit operator bool() const { return ok(); }
    const T& value() const { return std::get<T>(m_state); }
    T& value() { return std::get<T>(m_state); }
    const Error& error() const { return std::get<Error>(m_state); }

private:
    std::variant<T, Error> m_state;
};

}  // namespace tandrel

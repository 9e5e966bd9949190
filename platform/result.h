#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

// An error as the user will read it: what went wrong in kind, and the text to show.
struct Error {
    enum class Kind {
        Serialization, // a request body could not be written as JSON
        Transport,     // network failure, time-out, oversize reply
        Server,        // the service answered with a non-success status
        Decode,        // a reply did not match the expected record
        Keychain,
        Rejected,      // the system VPN refused or dropped the tunnel
        Update,
        Io,
    };

    Kind kind;
    QString message; // user-facing description, shown unchanged
    int code = 0;    // HTTP status, keychain code, ... where the kind has one
    QString detail;  // extra machine-readable context (a decode failure's key path)

    QString description() const { return message; }
    bool operator==(const Error&) const = default;
};

// Value-or-error result for every operation that can fail; no exceptions cross an await. Layers below
// the user's text use a failure type of their own for E and turn it into an Error at their boundary.
template <class T, class E = Error> class [[nodiscard]] Result {
public:
    Result(T value) : m_v(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : m_v(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_v.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(m_v); }
    const T& value() const& { return std::get<0>(m_v); }
    T&& value() && { return std::get<0>(std::move(m_v)); }
    const E& error() const { return std::get<1>(m_v); }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, E> m_v;
};

template <class E> class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(E error) : m_error(std::move(error)) {}

    bool ok() const { return !m_error; }
    explicit operator bool() const { return ok(); }
    const E& error() const { return *m_error; }

private:
    std::optional<E> m_error;
};

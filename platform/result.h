#pragma once

#include <QString>

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

// Value-or-error result for every operation that can fail; no exceptions cross an await.
template <class T> class [[nodiscard]] Result {
public:
    Result(T value) : m_v(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : m_v(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_v.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(m_v); }
    const T& value() const& { return std::get<0>(m_v); }
    T&& value() && { return std::get<0>(std::move(m_v)); }
    const Error& error() const { return std::get<1>(m_v); }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, Error> m_v;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : m_error(std::move(error)), m_failed(true) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return m_error; }

private:
    Error m_error{Error::Kind::Io, {}};
    bool m_failed = false;
};

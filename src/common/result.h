// Error values for the whole core: nothing throws through it.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace vexlor {

// The three classes a failure can belong to; the binding maps them to
// ValueError, OSError and RuntimeError.  `Panic` is a broken invariant, never
// a property of the input; the binding raises it as PanicException.
enum class ErrorKind { Value, Io, Runtime, Panic };

struct Error {
    ErrorKind kind = ErrorKind::Runtime;
    std::string message;
};

// std::expected that cannot be dropped unread: a failure ignored by mistake
// is a compile-time warning (an error in the build), not lost data.
template <class T, class E> class [[nodiscard]] Expected : public std::expected<T, E> {
public:
    using std::expected<T, E>::expected;
    Expected() = default;
    Expected(std::expected<T, E> e) : std::expected<T, E>(std::move(e)) {}
};

template <class T> using Result = Expected<T, Error>;
using Status = Expected<void, Error>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
    return std::unexpected(Error{kind, std::move(message)});
}
inline std::unexpected<Error> value_error(std::string message) {
    return fail(ErrorKind::Value, std::move(message));
}
inline std::unexpected<Error> io_error(std::string message) {
    return fail(ErrorKind::Io, std::move(message));
}
inline std::unexpected<Error> runtime_error(std::string message) {
    return fail(ErrorKind::Runtime, std::move(message));
}

// The operating system's description of `errnum`, then " (os error N)".
std::string os_error_text(int errnum);

// An I/O error built from errno (or the given number).
std::unexpected<Error> os_error(int errnum);

// The same error moved to another class, keeping its text.
inline Error reclassify(Error e, ErrorKind kind) {
    e.kind = kind;
    return e;
}

} // namespace vexlor

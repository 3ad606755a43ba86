// Argument binding, conversions and error mapping shared by every function
// and method of the module.  Every helper here returns false (or nullptr)
// with a Python exception set on failure.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/result.h"

namespace vexlor::py {

// Owns one strong reference and releases it once, on every path out.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) : p_(owned) {} // takes a new reference
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    // Hands the reference to the caller (a return value, a stealing call).
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

struct Param {
    const char* name;
    bool required;
};

// A callable's parameters as callers see them.  `full_name` is what messages
// call it: "split()" or "Archive.find_by_ip()".
struct Signature {
    const char* full_name;
    std::span<const Param> params;
};

// Binds positional and keyword arguments to parameters.  `out` receives one
// borrowed reference per parameter, nullptr where the argument is absent.
bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions.  `param` names the parameter in the "argument '{}': {}"
// wrapping of TypeErrors; other errors propagate as raised.
bool to_string(const char* param, PyObject* obj, std::string& out);
bool to_u16(const char* param, PyObject* obj, std::uint16_t& out);
bool to_u32(const char* param, PyObject* obj, std::uint32_t& out);
bool to_u64(const char* param, PyObject* obj, std::uint64_t& out);
bool to_string_list(const char* param, PyObject* obj, std::vector<std::string>& out);
bool to_u16_list(const char* param, PyObject* obj, std::vector<std::uint16_t>& out);

// Python's own str.lower() of a str, as UTF-8.
bool python_lower(PyObject* str, std::string& out);

// Raises `err` as the exception of its class: ValueError, OSError (message as
// the only argument), RuntimeError, or PanicException.
void raise_error(const Error& err);
void raise_panic(const std::string& message);

// The type name used in conversion messages ('int', 'PosixPath').
std::string type_name(PyObject* obj);

// Runs `body` and turns any C++ exception that reaches the boundary into a
// Python exception: MemoryError for allocation failure, PanicException for
// everything else.  `body` returns a new reference or nullptr with an error set.
template <class F> PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unexpected internal error");
    }
    return nullptr;
}

// UTF-8 text to a new str.
PyObject* new_str(std::string_view text);

} // namespace vexlor::py

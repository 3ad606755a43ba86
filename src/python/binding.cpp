#include "python/binding.h"

#include <climits>

namespace vexlor::py {

namespace {

PyObject* g_panic_type = nullptr;

// Messages may quote caller text, NUL characters included.
void set_error(PyObject* type, const std::string& message) {
    PyRef text(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) {
        PyErr_SetObject(type, text.get());
    }
}

void set_type_error(const std::string& message) {
    set_error(PyExc_TypeError, message);
}

std::string join_names(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

// A TypeError raised while converting `param` becomes "argument '{}': {}",
// keeping the original's cause; other errors stay as they are.
void wrap_type_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t(type), v(value), trace(tb);
    PyRef text(v ? PyObject_Str(v.get()) : nullptr);
    std::string original;
    if (text && !to_string(nullptr, text.get(), original)) {
        PyErr_Clear();
    }
    std::string message = std::string("argument '") + param + "': " + original;
    PyRef wrapped(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
    if (!wrapped) {
        return;
    }
    // The new error keeps the original's cause (or none, which also hides
    // the original as context).
    PyException_SetCause(wrapped.get(), v ? PyException_GetCause(v.get()) : nullptr); // steals
    PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

bool fail_conversion(const char* param) {
    if (param) {
        wrap_type_error(param);
    }
    return false;
}

bool out_of_range(const char* param) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return fail_conversion(param);
}

// The integer value of `obj` through __index__, as a C long.
bool index_as_long(PyObject* obj, long& out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) {
        return false;
    }
    out = PyLong_AsLong(index.get());
    return !(out == -1 && PyErr_Occurred());
}

// Checks shared by both list conversions; returns the sequence's length.
bool check_sequence(const char* param, PyObject* obj, Py_ssize_t& len) {
    if (PyUnicode_Check(obj)) {
        set_type_error("Can't extract `str` to `Vec`");
        return fail_conversion(param);
    }
    if (!PySequence_Check(obj)) {
        set_type_error("'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
        return fail_conversion(param);
    }
    // The length only sizes the result; a sequence without one is still
    // iterated.
    len = PySequence_Size(obj);
    if (len < 0) {
        PyErr_Clear();
        len = 0;
    }
    return true;
}

template <class T, class Convert>
bool to_list(const char* param, PyObject* obj, std::vector<T>& out, Convert convert) {
    Py_ssize_t len = 0;
    if (!check_sequence(param, obj, len)) {
        return false;
    }
    out.clear();
    out.reserve(static_cast<std::size_t>(len));
    PyRef iter(PyObject_GetIter(obj));
    if (!iter) {
        return fail_conversion(param);
    }
    while (PyObject* raw = PyIter_Next(iter.get())) {
        PyRef item(raw);
        T value{};
        if (!convert(item.get(), value)) {
            return fail_conversion(param);
        }
        out.push_back(std::move(value));
    }
    if (PyErr_Occurred()) {
        return fail_conversion(param);
    }
    return true;
}

} // namespace

std::string type_name(PyObject* obj) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    std::string out;
    if (!name || !PyUnicode_Check(name.get()) || !to_string(nullptr, name.get(), out)) {
        PyErr_Clear();
        return "object";
    }
    return out;
}

PyObject* new_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const std::size_t nparams = sig.params.size();
    std::size_t required = 0;
    for (const Param& p : sig.params) {
        required += p.required ? 1 : 0;
    }
    for (std::size_t i = 0; i < nparams; ++i) {
        out[i] = nullptr;
    }
    Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs < 0) {
        return false;
    }
    if (static_cast<std::size_t>(nargs) > nparams) {
        const char* verb = nargs == 1 ? "was" : "were";
        std::string msg = std::string(sig.full_name) + " takes ";
        if (required == nparams) {
            msg += std::to_string(nparams);
        } else {
            msg += "from " + std::to_string(required) + " to " + std::to_string(nparams);
        }
        msg += " positional arguments but " + std::to_string(nargs) + " " + verb + " given";
        set_type_error(msg);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = PyTuple_GetItem(args, i);
    }
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::string name;
            if (!PyUnicode_Check(key) || !to_string(nullptr, key, name)) {
                PyErr_Clear();
                set_type_error(std::string(sig.full_name) + " keywords must be strings");
                return false;
            }
            std::size_t idx = nparams;
            for (std::size_t i = 0; i < nparams; ++i) {
                if (name == sig.params[i].name) {
                    idx = i;
                    break;
                }
            }
            if (idx == nparams) {
                set_type_error(std::string(sig.full_name) +
                               " got an unexpected keyword argument '" + name + "'");
                return false;
            }
            if (out[idx]) {
                set_type_error(std::string(sig.full_name) + " got multiple values for argument '" +
                               name + "'");
                return false;
            }
            out[idx] = value;
        }
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < nparams; ++i) {
        if (sig.params[i].required && !out[i]) {
            missing.push_back(sig.params[i].name);
        }
    }
    if (!missing.empty()) {
        set_type_error(std::string(sig.full_name) + " missing " + std::to_string(missing.size()) +
                       " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                       ": " + join_names(missing));
        return false;
    }
    return true;
}

bool to_string(const char* param, PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        set_type_error("'" + type_name(obj) + "' object cannot be converted to 'PyString'");
        return fail_conversion(param);
    }
    PyRef utf8(PyUnicode_AsUTF8String(obj));
    if (!utf8) {
        return fail_conversion(param);
    }
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(utf8.get(), &data, &len) != 0) {
        return fail_conversion(param);
    }
    out.assign(data, static_cast<std::size_t>(len));
    return true;
}

bool to_u32(const char* param, PyObject* obj, std::uint32_t& out) {
    long v = 0;
    if (!index_as_long(obj, v)) {
        return fail_conversion(param);
    }
    if (v < 0 || static_cast<unsigned long>(v) > 0xFFFFFFFFul) {
        return out_of_range(param);
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool to_u16(const char* param, PyObject* obj, std::uint16_t& out) {
    long v = 0;
    if (!index_as_long(obj, v)) {
        return fail_conversion(param);
    }
    if (v < 0 || v > 0xFFFF) {
        return out_of_range(param);
    }
    out = static_cast<std::uint16_t>(v);
    return true;
}

bool to_u64(const char* param, PyObject* obj, std::uint64_t& out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) {
        return fail_conversion(param);
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return fail_conversion(param);
    }
    out = v;
    return true;
}

bool to_string_list(const char* param, PyObject* obj, std::vector<std::string>& out) {
    return to_list<std::string>(param, obj, out, [](PyObject* item, std::string& v) {
        return to_string(nullptr, item, v);
    });
}

bool to_u16_list(const char* param, PyObject* obj, std::vector<std::uint16_t>& out) {
    return to_list<std::uint16_t>(
        param, obj, out, [](PyObject* item, std::uint16_t& v) { return to_u16(nullptr, item, v); });
}

bool python_lower(PyObject* str, std::string& out) {
    // str.lower(obj) rather than obj.lower(): a subclass cannot override it.
    PyRef lowered(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", str));
    return lowered && to_string(nullptr, lowered.get(), out);
}

void raise_panic(const std::string& message) {
    if (!g_panic_type) {
        // Created on first use.  It derives from BaseException so that
        // `except Exception` does not swallow a broken invariant.
        g_panic_type = PyErr_NewException("vexlor.PanicException", PyExc_BaseException, nullptr);
        if (!g_panic_type) {
            return;
        }
    }
    set_error(g_panic_type, message);
}

void raise_error(const Error& err) {
    switch (err.kind) {
    case ErrorKind::Value:
        set_error(PyExc_ValueError, err.message);
        return;
    case ErrorKind::Io:
        set_error(PyExc_OSError, err.message);
        return;
    case ErrorKind::Runtime:
        set_error(PyExc_RuntimeError, err.message);
        return;
    case ErrorKind::Panic:
        raise_panic(err.message);
        return;
    }
    raise_panic(err.message);
}

} // namespace vexlor::py

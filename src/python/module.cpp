// The vexlor module: initialisation and the four module functions.
#include <Python.h>

#include <unistd.h>

#include <cstring>

#include "drivers/archive_build.h"
#include "drivers/split_pipeline.h"
#include "parser/pcap_format.h"
#include "python/binding.h"
#include "python/objects.h"

namespace vexlor::py {
namespace {

constexpr Param kSplitParams[] = {
    {"input_path", true},    {"output_dir", true},    {"strategy", false},
    {"max_sessions", false}, {"buffer_bytes", false}, {"ip_filters", false},
    {"port_filters", false}, {"output_type", false},
};
constexpr Param kCreateParams[] = {
    {"input_path", true},    {"output_path", true}, {"strategy", false},
    {"max_sessions", false}, {"ip_filters", false}, {"port_filters", false},
};
constexpr Param kReadFlowsParams[] = {
    {"input_path", true},  {"strategy", false},     {"max_sessions", false},
    {"ip_filters", false}, {"port_filters", false},
};
constexpr Param kPipeParams[] = {{"archive_path", true}};

// The strategy named by `text`, or false with ValueError raised.
bool strategy_of(const std::string& text, SplitStrategy& out) {
    auto strategy = parse_strategy(text);
    if (!strategy) {
        raise_error(strategy.error());
        return false;
    }
    out = *strategy;
    return true;
}

// Converts the optional arguments shared by the building functions (strategy,
// max_sessions, ip_filters, port_filters: nullptr where absent, keeping the
// defaults) into `opt`.
template <class Options> bool convert_common(PyObject* const* a, Options& opt) {
    std::string strategy = "session";
    return (!a[0] || to_string("strategy", a[0], strategy)) &&
           (!a[1] || to_u32("max_sessions", a[1], opt.max_sessions)) &&
           (!a[2] || to_string_list("ip_filters", a[2], opt.ip_filters)) &&
           (!a[3] || to_u16_list("port_filters", a[3], opt.port_filters)) &&
           strategy_of(strategy, opt.strategy);
}

// None, or the error raised.
PyObject* none_or_raise(const Status& st) {
    if (!st) {
        raise_error(st.error());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* fn_split(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[8];
        if (!bind_args({"split()", kSplitParams}, args, kwargs, a)) {
            return nullptr;
        }
        SplitOptions opt;
        opt.writer_threads = default_writer_threads();
        std::string strategy = "session";
        std::string output_type = "pcap";
        if (!to_string("input_path", a[0], opt.input_path) ||
            !to_string("output_dir", a[1], opt.output_dir) ||
            (a[2] && !to_string("strategy", a[2], strategy)) ||
            (a[3] && !to_u32("max_sessions", a[3], opt.max_sessions)) ||
            (a[4] && !to_u64("buffer_bytes", a[4], opt.buffer_bytes)) ||
            (a[5] && !to_string_list("ip_filters", a[5], opt.ip_filters)) ||
            (a[6] && !to_u16_list("port_filters", a[6], opt.port_filters)) ||
            (a[7] && !to_string("output_type", a[7], output_type))) {
            return nullptr;
        }
        // The output type is matched lower-cased, and its error quotes the
        // lower-cased text; Python's own lower() is the full Unicode one.
        if ((a[7] && !python_lower(a[7], output_type)) || !strategy_of(strategy, opt.strategy)) {
            return nullptr;
        }
        if (auto type = parse_output_type(output_type)) {
            opt.output_type = *type;
        } else {
            raise_error(type.error());
            return nullptr;
        }
        return none_or_raise(run_split(opt));
    });
}

PyObject* fn_create_archive(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[6];
        if (!bind_args({"create_archive()", kCreateParams}, args, kwargs, a)) {
            return nullptr;
        }
        ArchiveBuildOptions opt;
        if (!to_string("input_path", a[0], opt.input_path) ||
            !to_string("output_path", a[1], opt.output_path) || !convert_common(a + 2, opt)) {
            return nullptr;
        }
        return none_or_raise(build_archive(opt));
    });
}

PyObject* fn_read_flows(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[5];
        if (!bind_args({"read_flows()", kReadFlowsParams}, args, kwargs, a)) {
            return nullptr;
        }
        ArchiveBuildOptions opt;
        if (!to_string("input_path", a[0], opt.input_path) || !convert_common(a + 1, opt)) {
            return nullptr;
        }
        // One path per process: a later call replaces the file of an earlier
        // one, whose Archive keeps reading it through its mapping.
        opt.output_path = "/tmp/vexlor_py_" + std::to_string(::getpid()) + ".vexlor";
        if (auto st = build_archive(opt); !st) {
            raise_error(st.error());
            return nullptr;
        }
        auto reader = ArchiveReader::open(opt.output_path);
        if (!reader) {
            raise_error(reclassify(reader.error(), ErrorKind::Io));
            return nullptr;
        }
        return new_archive(std::move(*reader), opt.output_path);
    });
}

// One flow as a classic pcap image: the global header, then its stored
// records copied verbatim (they already have the record layout).
PyObject* flow_image(const ArchiveReader& reader, const std::vector<std::uint64_t>& offsets) {
    std::vector<std::span<const std::uint8_t>> records;
    records.reserve(offsets.size());
    std::size_t size = kPcapGlobalHeaderSize;
    for (std::uint64_t off : offsets) {
        if (auto rec = reader.record_at(off)) {
            records.push_back(*rec);
            size += rec->size();
        }
    }
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (!bytes) {
        return nullptr;
    }
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes));
    const PcapGlobalHeader header = pcap_global_header(reader.link_type());
    std::memcpy(out, header.data(), header.size());
    out += header.size();
    for (auto rec : records) {
        std::memcpy(out, rec.data(), rec.size());
        out += rec.size();
    }
    return bytes;
}

PyObject* fn_pipe_archive(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        std::string path;
        if (!bind_args({"pipe_archive()", kPipeParams}, args, kwargs, a) ||
            !to_string("archive_path", a[0], path)) {
            return nullptr;
        }
        auto reader = ArchiveReader::open(path);
        if (!reader) {
            raise_error(reclassify(reader.error(), ErrorKind::Io));
            return nullptr;
        }
        PyRef list(PyList_New(0));
        if (!list) {
            return nullptr;
        }
        for (const FlowEntry& e : (*reader)->flows()) {
            auto offsets = (*reader)->get_packet_offsets(e);
            if (!offsets) {
                raise_error(reclassify(offsets.error(), ErrorKind::Runtime));
                return nullptr;
            }
            PyRef image(flow_image(**reader, *offsets));
            if (!image || PyList_Append(list.get(), image.get()) != 0) {
                return nullptr;
            }
        }
        return list.release();
    });
}

template <class F> PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kCreateArchiveDef = {
    "create_archive", as_cfunction(fn_create_archive), METH_VARARGS | METH_KEYWORDS,
    "create_archive(input_path, output_path, strategy=\"session\", max_sessions=10000, "
    "ip_filters=..., port_filters=...)\n--\n\n"
    "Create a .vexlor archive from a pcap/pcapng file."};
PyMethodDef kSplitDef = {
    "split", as_cfunction(fn_split), METH_VARARGS | METH_KEYWORDS,
    "split(input_path, output_dir, strategy=\"session\", max_sessions=10000, "
    "buffer_bytes=10000, ip_filters=..., port_filters=..., output_type=\"pcap\")\n--\n\n"
    "Split a pcap/pcapng file into per-flow pcap or L7 files."};
PyMethodDef kPipeArchiveDef = {
    "pipe_archive", as_cfunction(fn_pipe_archive), METH_VARARGS | METH_KEYWORDS,
    "pipe_archive(archive_path)\n--\n\n"
    "Yield each flow from a .vexlor archive as a complete pcap file (bytes).\n"
    "Returns a list of bytes; each bytes object is a standalone pcap file."};
PyMethodDef kReadFlowsDef = {
    "read_flows", as_cfunction(fn_read_flows), METH_VARARGS | METH_KEYWORDS,
    "read_flows(input_path, strategy=\"session\", max_sessions=10000, ip_filters=..., "
    "port_filters=...)\n--\n\n"
    "Directly read a pcap/pcapng file and return all flows as an Archive.\n"
    "\n"
    "Internally creates a temporary .vexlor archive, opens it, and returns\n"
    "the Archive. The temp file is cleaned up when the Archive is garbage collected."};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "vexlor", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// The module, made once per process and kept for its lifetime.
PyObject* g_module = nullptr;

// A new reference to a borrowed object.
PyRef new_ref(PyObject* o) {
    Py_INCREF(o);
    return PyRef(o);
}

// PyModule_AddObject takes the reference only when it succeeds.
bool add_object(PyObject* module, const char* name, PyRef obj) {
    if (!obj || PyModule_AddObject(module, name, obj.get()) != 0) {
        return false;
    }
    (void)obj.release();
    return true;
}

// Adds `obj` under `name` and appends the name to __all__.
bool add_public(PyObject* module, const char* name, PyRef obj) {
    if (!obj) {
        return false;
    }
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all) {
            return false;
        }
        if (!add_object(module, "__all__", new_ref(all.get()))) {
            return false;
        }
    }
    PyRef text(PyUnicode_FromString(name));
    return text && PyList_Append(all.get(), text.get()) == 0 &&
           add_object(module, name, std::move(obj));
}

PyRef add_function(PyObject* module, PyMethodDef* def) {
    PyRef name(PyUnicode_FromString("vexlor"));
    if (!name) {
        return PyRef();
    }
    return PyRef(PyCFunction_NewEx(def, module, name.get()));
}

PyObject* init_module() {
    if (g_module) {
        PyErr_SetString(PyExc_ImportError,
                        "vexlor may only be initialized once per interpreter process");
        return nullptr;
    }
    PyRef m(PyModule_Create(&kModuleDef));
    if (!m || !init_types()) {
        return nullptr;
    }
    PyObject* mod = m.get();
    if (!add_public(mod, "Archive", new_ref(archive_type())) ||
        !add_public(mod, "Flow", new_ref(flow_type())) ||
        !add_public(mod, "Packet", new_ref(packet_type())) ||
        !add_public(mod, "create_archive", add_function(mod, &kCreateArchiveDef)) ||
        !add_public(mod, "split", add_function(mod, &kSplitDef)) ||
        !add_public(mod, "pipe_archive", add_function(mod, &kPipeArchiveDef)) ||
        !add_public(mod, "read_flows", add_function(mod, &kReadFlowsDef))) {
        return nullptr;
    }
    g_module = new_ref(mod).release(); // kept for the life of the process
    return m.release();
}

} // namespace
} // namespace vexlor::py

PyMODINIT_FUNC PyInit_vexlor(void) {
    return vexlor::py::guarded([] { return vexlor::py::init_module(); });
}

#include "python/objects.h"

#include <unistd.h>

#include <cstdio>
#include <new>

#include "common/ip_text.h"
#include "packet/protocols.h"
#include "python/binding.h"

namespace vexlor::py {

namespace {

PyObject* g_archive_type = nullptr;
PyObject* g_flow_type = nullptr;
PyObject* g_packet_type = nullptr;

struct ArchiveObject {
    PyObject_HEAD std::shared_ptr<const ArchiveReader> reader;
    std::optional<std::string> temp_file;
};

struct FlowObject {
    PyObject_HEAD std::shared_ptr<const ArchiveReader> reader;
    FlowEntry entry;
};

struct PacketObject {
    PyObject_HEAD std::uint32_t ts_sec;
    std::uint32_t ts_usec;
    std::uint32_t length;
    std::uint32_t orig_len;
    std::vector<std::uint8_t> data;
};

template <class T> T* as(PyObject* self) {
    return reinterpret_cast<T*>(self);
}

// Allocates an instance of one of our heap types and constructs its C++
// fields in place.
template <class T, class... Args> PyObject* alloc_object(PyObject* type, Args&&... args) {
    PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (!obj) {
        return nullptr;
    }
    T* self = as<T>(obj);
    try {
        construct(self, std::forward<Args>(args)...);
    } catch (...) {
        // The fields were not built: free the bare object without running
        // our dealloc.
        PyTypeObject* tp = Py_TYPE(obj);
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
        free_fn(obj);
        Py_DECREF(reinterpret_cast<PyObject*>(tp));
        throw;
    }
    return obj;
}

void construct(ArchiveObject* self, std::shared_ptr<const ArchiveReader> reader,
               std::optional<std::string> temp_file) {
    new (&self->reader) std::shared_ptr<const ArchiveReader>(std::move(reader));
    new (&self->temp_file) std::optional<std::string>(std::move(temp_file));
}
void construct(FlowObject* self, std::shared_ptr<const ArchiveReader> reader,
               const FlowEntry& entry) {
    new (&self->reader) std::shared_ptr<const ArchiveReader>(std::move(reader));
    new (&self->entry) FlowEntry(entry);
}
void construct(PacketObject* self, const StoredPacket& p) {
    self->ts_sec = p.ts_sec;
    self->ts_usec = p.ts_usec;
    self->length = p.caplen;
    self->orig_len = p.orig_len;
    new (&self->data) std::vector<std::uint8_t>(p.data.begin(), p.data.end());
}

void free_object(PyObject* obj) {
    PyTypeObject* tp = Py_TYPE(obj);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(obj);
    // Instances of heap types own a reference to their type.
    Py_DECREF(reinterpret_cast<PyObject*>(tp));
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    std::string text = "No constructor defined for ";
    std::string n;
    if (name && to_string(nullptr, name.get(), n)) {
        text += n;
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return nullptr;
}

// Appends a new reference to `list`, consuming it.
bool append_new(const PyRef& list, PyObject* item) {
    PyRef owned(item);
    return owned && PyList_Append(list.get(), owned.get()) == 0;
}

PyObject* make_flow(const std::shared_ptr<const ArchiveReader>& reader, const FlowEntry& e) {
    return alloc_object<FlowObject>(g_flow_type, reader, e);
}

// Flows for a list of identifiers, in order; identifiers without an entry
// are skipped.
PyObject* flows_for_ids(const std::shared_ptr<const ArchiveReader>& reader,
                        const std::vector<std::uint64_t>& ids) {
    PyRef list(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (std::uint64_t id : ids) {
        const FlowEntry* e = reader->resolve(id);
        if (!e) {
            continue;
        }
        if (!append_new(list, make_flow(reader, *e))) {
            return nullptr;
        }
    }
    return list.release();
}

// The module names four protocols; every other number is "?".
std::string proto_label(std::uint8_t proto) {
    const ProtocolName* p = protocol_entry(proto);
    return p && !p->label.empty() ? std::string(p->label) : "?";
}

// ---- Archive ---------------------------------------------------------------

void archive_dealloc(PyObject* obj) {
    auto* self = as<ArchiveObject>(obj);
    if (self->temp_file) {
        // The file may already be gone (another Archive of the same process
        // deleted it); that is fine.
        (void)::unlink(self->temp_file->c_str());
    }
    self->reader.~shared_ptr();
    self->temp_file.~optional();
    free_object(obj);
}

constexpr Param kOpenParams[] = {{"path", true}};
constexpr Param kFlowIdParams[] = {{"flow_id", true}};
constexpr Param kIpParams[] = {{"ip_str", true}};
constexpr Param kPortParams[] = {{"port", true}};
constexpr Param kProtoParams[] = {{"proto_str", true}};

PyObject* archive_open(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_args({"Archive.open()", kOpenParams}, args, kwargs, a)) {
            return nullptr;
        }
        std::string path;
        if (!to_string("path", a[0], path)) {
            return nullptr;
        }
        auto reader = ArchiveReader::open(path);
        if (!reader) {
            raise_error(reclassify(reader.error(), ErrorKind::Io));
            return nullptr;
        }
        return new_archive(std::move(*reader), std::nullopt);
    });
}

PyObject* archive_flows(PyObject* obj, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind_args({"Archive.flows()", {}}, args, kwargs, nullptr)) {
            return nullptr;
        }
        auto& reader = as<ArchiveObject>(obj)->reader;
        PyRef list(PyList_New(0));
        if (!list) {
            return nullptr;
        }
        for (const FlowEntry& e : reader->flows()) {
            if (!append_new(list, make_flow(reader, e))) {
                return nullptr;
            }
        }
        return list.release();
    });
}

PyObject* archive_get_flow(PyObject* obj, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        std::uint64_t id = 0;
        if (!bind_args({"Archive.get_flow()", kFlowIdParams}, args, kwargs, a) ||
            !to_u64("flow_id", a[0], id)) {
            return nullptr;
        }
        auto& reader = as<ArchiveObject>(obj)->reader;
        const FlowEntry* e = reader->resolve(id);
        if (!e) {
            Py_RETURN_NONE;
        }
        return make_flow(reader, *e);
    });
}

PyObject* archive_find_by_ip(PyObject* obj, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        std::string text;
        if (!bind_args({"Archive.find_by_ip()", kIpParams}, args, kwargs, a) ||
            !to_string("ip_str", a[0], text)) {
            return nullptr;
        }
        auto addr = parse_ip(text);
        if (!addr) {
            PyErr_SetString(PyExc_ValueError, "invalid IP address syntax");
            return nullptr;
        }
        auto& reader = as<ArchiveObject>(obj)->reader;
        return flows_for_ids(reader, reader->find_by_address(addr->mapped16()));
    });
}

PyObject* archive_find_by_port(PyObject* obj, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        std::uint16_t port = 0;
        if (!bind_args({"Archive.find_by_port()", kPortParams}, args, kwargs, a) ||
            !to_u16("port", a[0], port)) {
            return nullptr;
        }
        auto& reader = as<ArchiveObject>(obj)->reader;
        return flows_for_ids(reader, reader->find_by_port(port));
    });
}

PyObject* archive_find_by_protocol(PyObject* obj, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        std::string text;
        if (!bind_args({"Archive.find_by_protocol()", kProtoParams}, args, kwargs, a) ||
            !to_string("proto_str", a[0], text)) {
            return nullptr;
        }
        std::string lower;
        if (!python_lower(a[0], lower)) {
            return nullptr;
        }
        // Only the protocols the module has a label for are selectable here.
        const ProtocolName* p = protocol_named(lower);
        if (!p || p->label.empty()) {
            raise_error(Error{ErrorKind::Value,
                              "Unknown protocol: " + lower + ". Valid: tcp, udp, icmp, icmpv6"});
            return nullptr;
        }
        auto& reader = as<ArchiveObject>(obj)->reader;
        return flows_for_ids(reader, reader->find_by_protocol(p->number));
    });
}

PyObject* archive_flow_count(PyObject* obj, void*) {
    return PyLong_FromUnsignedLongLong(as<ArchiveObject>(obj)->reader->flows().size());
}

PyObject* archive_link_type(PyObject* obj, void*) {
    return PyLong_FromUnsignedLong(as<ArchiveObject>(obj)->reader->link_type());
}

Py_ssize_t archive_len(PyObject* obj) {
    std::size_t n = as<ArchiveObject>(obj)->reader->flows().size();
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetNone(PyExc_OverflowError);
        return -1;
    }
    return static_cast<Py_ssize_t>(n);
}

PyObject* archive_repr(PyObject* obj) {
    auto& reader = as<ArchiveObject>(obj)->reader;
    std::string text = "Archive(flows=" + std::to_string(reader->flows().size()) +
                       ", link_type=" + std::to_string(reader->link_type()) + ")";
    return new_str(text);
}

PyMethodDef kArchiveMethods[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(archive_open)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "open(path)\n--\n\nOpen a .vexlor archive file."},
    {"flows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(archive_flows)),
     METH_VARARGS | METH_KEYWORDS,
     "flows($self)\n--\n\nReturn all flows as a list of Flow objects."},
    {"get_flow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(archive_get_flow)),
     METH_VARARGS | METH_KEYWORDS, "get_flow($self, flow_id)\n--\n\nGet a specific flow by ID."},
    {"find_by_ip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(archive_find_by_ip)),
     METH_VARARGS | METH_KEYWORDS,
     "find_by_ip($self, ip_str)\n--\n\nFind flows matching an IP address (src or dst)."},
    {"find_by_port",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(archive_find_by_port)),
     METH_VARARGS | METH_KEYWORDS,
     "find_by_port($self, port)\n--\n\nFind flows matching a port number (src or dst)."},
    {"find_by_protocol",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(archive_find_by_protocol)),
     METH_VARARGS | METH_KEYWORDS,
     "find_by_protocol($self, proto_str)\n--\n\n"
     "Find flows matching a protocol: \"tcp\", \"udp\", or \"icmp\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kArchiveGetSet[] = {
    {"flow_count", archive_flow_count, nullptr, "", nullptr},
    {"link_type", archive_link_type, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kArchiveSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(archive_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(archive_repr)},
    {Py_tp_methods, kArchiveMethods},
    {Py_tp_getset, kArchiveGetSet},
    {Py_mp_length, reinterpret_cast<void*>(archive_len)},
    {0, nullptr},
};

PyType_Spec kArchiveSpec = {"builtins.Archive", sizeof(ArchiveObject), 0, Py_TPFLAGS_DEFAULT,
                            kArchiveSlots};

// ---- Flow --------------------------------------------------------------------

void flow_dealloc(PyObject* obj) {
    as<FlowObject>(obj)->reader.~shared_ptr();
    free_object(obj);
}

const FlowEntry& entry_of(PyObject* obj) {
    return as<FlowObject>(obj)->entry;
}

PyObject* flow_id(PyObject* o, void*) {
    return PyLong_FromUnsignedLongLong(entry_of(o).id);
}
PyObject* flow_proto(PyObject* o, void*) {
    return PyLong_FromUnsignedLong(entry_of(o).proto);
}
PyObject* flow_proto_name(PyObject* o, void*) {
    return new_str(proto_label(entry_of(o).proto));
}
PyObject* flow_src_addr(PyObject* o, void*) {
    return new_str(format_ip_full(from_address16(entry_of(o).src_addr)));
}
PyObject* flow_dst_addr(PyObject* o, void*) {
    return new_str(format_ip_full(from_address16(entry_of(o).dst_addr)));
}
PyObject* flow_src_port(PyObject* o, void*) {
    return PyLong_FromUnsignedLong(entry_of(o).src_port);
}
PyObject* flow_dst_port(PyObject* o, void*) {
    return PyLong_FromUnsignedLong(entry_of(o).dst_port);
}
PyObject* flow_packet_count(PyObject* o, void*) {
    return PyLong_FromUnsignedLong(entry_of(o).packet_count);
}
PyObject* flow_total_bytes(PyObject* o, void*) {
    return PyLong_FromUnsignedLongLong(entry_of(o).total_bytes);
}
PyObject* flow_start_ts(PyObject* o, void*) {
    return PyFloat_FromDouble(static_cast<double>(entry_of(o).start_ts) / 1000000.0);
}
PyObject* flow_end_ts(PyObject* o, void*) {
    return PyFloat_FromDouble(static_cast<double>(entry_of(o).end_ts) / 1000000.0);
}

PyObject* flow_packets(PyObject* obj, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind_args({"Flow.packets()", {}}, args, kwargs, nullptr)) {
            return nullptr;
        }
        auto* self = as<FlowObject>(obj);
        auto offsets = self->reader->get_packet_offsets(self->entry);
        if (!offsets) {
            raise_error(reclassify(offsets.error(), ErrorKind::Runtime));
            return nullptr;
        }
        PyRef list(PyList_New(0));
        if (!list) {
            return nullptr;
        }
        for (std::uint64_t off : *offsets) {
            auto stored = self->reader->packet_at(off);
            if (!stored) {
                continue; // does not lie wholly inside the file
            }
            if (!append_new(list, alloc_object<PacketObject>(g_packet_type, *stored))) {
                return nullptr;
            }
        }
        return list.release();
    });
}

PyObject* flow_repr(PyObject* obj) {
    const FlowEntry& e = entry_of(obj);
    std::string text =
        "Flow(id=" + std::to_string(e.id) + ", " + proto_label(e.proto) + " " +
        format_ip_full(from_address16(e.src_addr)) + ":" + std::to_string(e.src_port) + " -> " +
        format_ip_full(from_address16(e.dst_addr)) + ":" + std::to_string(e.dst_port) + ", " +
        std::to_string(e.packet_count) + " pkts, " + std::to_string(e.total_bytes) + " bytes)";
    return new_str(text);
}

PyMethodDef kFlowMethods[] = {
    {"packets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flow_packets)),
     METH_VARARGS | METH_KEYWORDS,
     "packets($self)\n--\n\nReturn all packets in this flow as a list of Packet objects."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kFlowGetSet[] = {
    {"id", flow_id, nullptr, "", nullptr},
    {"proto", flow_proto, nullptr, "", nullptr},
    {"proto_name", flow_proto_name, nullptr, "", nullptr},
    {"src_addr", flow_src_addr, nullptr, "", nullptr},
    {"dst_addr", flow_dst_addr, nullptr, "", nullptr},
    {"src_port", flow_src_port, nullptr, "", nullptr},
    {"dst_port", flow_dst_port, nullptr, "", nullptr},
    {"packet_count", flow_packet_count, nullptr, "", nullptr},
    {"total_bytes", flow_total_bytes, nullptr, "", nullptr},
    {"start_ts", flow_start_ts, nullptr, "", nullptr},
    {"end_ts", flow_end_ts, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kFlowSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(flow_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(flow_repr)},
    {Py_tp_methods, kFlowMethods},
    {Py_tp_getset, kFlowGetSet},
    {0, nullptr},
};

PyType_Spec kFlowSpec = {"builtins.Flow", sizeof(FlowObject), 0, Py_TPFLAGS_DEFAULT, kFlowSlots};

// ---- Packet ------------------------------------------------------------------

void packet_dealloc(PyObject* obj) {
    as<PacketObject>(obj)->data.~vector();
    free_object(obj);
}

PacketObject* pk(PyObject* o) {
    return as<PacketObject>(o);
}

double packet_ts(PyObject* o) {
    return static_cast<double>(pk(o)->ts_usec) / 1000000.0 + static_cast<double>(pk(o)->ts_sec);
}

PyObject* packet_ts_sec(PyObject* o, void*) {
    return PyLong_FromUnsignedLong(pk(o)->ts_sec);
}
PyObject* packet_ts_usec(PyObject* o, void*) {
    return PyLong_FromUnsignedLong(pk(o)->ts_usec);
}
PyObject* packet_length(PyObject* o, void*) {
    return PyLong_FromUnsignedLong(pk(o)->length);
}
PyObject* packet_orig_len(PyObject* o, void*) {
    return PyLong_FromUnsignedLong(pk(o)->orig_len);
}
PyObject* packet_ts_get(PyObject* o, void*) {
    return PyFloat_FromDouble(packet_ts(o));
}
PyObject* packet_data(PyObject* o, void*) {
    const auto& d = pk(o)->data;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(d.data()),
                                     static_cast<Py_ssize_t>(d.size()));
}

PyObject* packet_repr(PyObject* o) {
    char ts[64];
    std::snprintf(ts, sizeof ts, "%.6f", packet_ts(o));
    std::string text = std::string("Packet(ts=") + ts +
                       ", length=" + std::to_string(pk(o)->length) +
                       ", orig_len=" + std::to_string(pk(o)->orig_len) + ")";
    return new_str(text);
}

PyGetSetDef kPacketGetSet[] = {
    {"ts_sec", packet_ts_sec, nullptr, "", nullptr},
    {"ts_usec", packet_ts_usec, nullptr, "", nullptr},
    {"length", packet_length, nullptr, "", nullptr},
    {"orig_len", packet_orig_len, nullptr, "", nullptr},
    {"ts", packet_ts_get, nullptr, "", nullptr},
    {"data", packet_data, nullptr, "Raw L2 frame data (Ethernet frame or equivalent).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPacketSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(packet_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(packet_repr)},
    {Py_tp_getset, kPacketGetSet},
    {0, nullptr},
};

PyType_Spec kPacketSpec = {"builtins.Packet", sizeof(PacketObject), 0, Py_TPFLAGS_DEFAULT,
                           kPacketSlots};

} // namespace

bool init_types() {
    g_archive_type = PyType_FromSpec(&kArchiveSpec);
    g_flow_type = PyType_FromSpec(&kFlowSpec);
    g_packet_type = PyType_FromSpec(&kPacketSpec);
    return g_archive_type && g_flow_type && g_packet_type;
}

PyObject* archive_type() {
    return g_archive_type;
}
PyObject* flow_type() {
    return g_flow_type;
}
PyObject* packet_type() {
    return g_packet_type;
}

PyObject* new_archive(std::shared_ptr<const ArchiveReader> reader,
                      std::optional<std::string> temp_file) {
    return alloc_object<ArchiveObject>(g_archive_type, std::move(reader), std::move(temp_file));
}

} // namespace vexlor::py

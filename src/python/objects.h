// The Archive, Flow and Packet classes.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "archive/archive_reader.h"

namespace vexlor::py {

// Creates the three heap types; false with an exception set on failure.
bool init_types();
PyObject* archive_type();
PyObject* flow_type();
PyObject* packet_type();

// A new Archive holding a share of `reader`; `temp_file`, when given, is
// deleted when the Archive is released.
PyObject* new_archive(std::shared_ptr<const ArchiveReader> reader,
                      std::optional<std::string> temp_file);

} // namespace vexlor::py

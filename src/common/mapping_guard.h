// Read-only mappings of files that another program may shorten while we read
// them: a capture rotated by truncating it in place, an archive copied over
// while a script still has it open.  Touching a page past the file's new end
// raises SIGBUS, whose default action kills the process (and with it the
// Python interpreter that called us).
//
// A guarded mapping's pages past the end are replaced with zero pages when
// first touched, and the mapping is marked cut; its readers look at the mark
// and fail with an error instead of using the zeros.  A fault anywhere else
// goes on to whatever handled SIGBUS before (by default, the process dies as
// it always would).
#pragma once

#include <cstddef>

namespace vexlor {

class MappingGuard {
public:
    // An empty guard: watches nothing, never cut.
    MappingGuard() = default;
    // Watches [base, base + len).  Installs the process's SIGBUS handler on
    // first use.  Should the table of watched mappings be full (thousands
    // open at once), the mapping goes unwatched, as before there was one.
    static MappingGuard watch(const void* base, std::size_t len);

    MappingGuard(MappingGuard&& o) noexcept : slot_(o.slot_) { o.slot_ = -1; }
    MappingGuard& operator=(MappingGuard&& o) noexcept;
    MappingGuard(const MappingGuard&) = delete;
    MappingGuard& operator=(const MappingGuard&) = delete;
    // Stops watching; call it (or destroy the guard) before unmapping.
    ~MappingGuard() { reset(); }
    void reset() noexcept;

    // Whether a page of the mapping was found gone (the file was shortened
    // below it) and replaced with zeros.
    bool cut() const noexcept;

private:
    explicit MappingGuard(int slot) : slot_(slot) {}
    int slot_ = -1;
};

// The error text of a run whose input was cut while it was read.
inline constexpr const char* kInputCutWhileRead =
    "the input file was cut short while it was read (another program truncated or "
    "overwrote it), or its storage failed";

} // namespace vexlor

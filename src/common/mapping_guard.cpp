#include "common/mapping_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace vexlor {
namespace {

// A slot's `begin`: free, taken but not yet filled in, or the mapping's
// first address.  The handler reads the table without locks, so every field
// is atomic and a slot is published by storing `begin` last.
constexpr std::uintptr_t kFree = 0;
constexpr std::uintptr_t kTaking = 1;

struct Slot {
    std::atomic<std::uintptr_t> begin{kFree};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> cut{false};
};

// Inputs and archives open at once: a split holds one, a run over many
// captures read as one up to 1,024, a script a few archives.  The handler
// looks through them all, but only when a fault comes.
constexpr int kSlots = 2048;
Slot g_slots[kSlots];

struct sigaction g_previous {};
std::uintptr_t g_page = 4096;
bool g_installed = false;

// What would have happened without us: the earlier handler, or the default
// action, taken by letting the fault happen again (or sending the signal
// again) with the default restored.
void pass_on(int sig, siginfo_t* info, void* context) {
    const bool sent = info == nullptr || info->si_code <= 0;
    if ((g_previous.sa_flags & SA_SIGINFO) != 0) {
        if (g_previous.sa_sigaction != nullptr) {
            g_previous.sa_sigaction(sig, info, context);
            return;
        }
    } else if (g_previous.sa_handler == SIG_IGN && sent) {
        return;
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(sig);
        return;
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    if (sent) {
        ::raise(sig);
    }
}

// Only async-signal-safe work: atomics, mmap, the saved handler.
extern "C" void on_sigbus(int sig, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    if (info != nullptr && info->si_code > 0) {
        const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
        for (Slot& s : g_slots) {
            const std::uintptr_t begin = s.begin.load(std::memory_order_acquire);
            if (begin <= kTaking || at < begin) {
                continue;
            }
            const std::uintptr_t end = s.end.load(std::memory_order_acquire);
            // A slot given up and taken again meanwhile has another begin:
            // its end may not be this one's.
            if (at >= end || s.begin.load(std::memory_order_acquire) != begin) {
                continue;
            }
            // Marked first: a thread that reads the zeros below without a
            // fault of its own must find the mapping cut when it looks.
            s.cut.store(true, std::memory_order_seq_cst);
            // Everything from the lost page on lies past the file's new
            // end: zeros there, once, instead of a fault per page.
            const std::uintptr_t from = at & ~(g_page - 1);
            const std::uintptr_t to = (end + g_page - 1) & ~(g_page - 1);
            void* got = ::mmap(reinterpret_cast<void*>(from), to - from, PROT_READ,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (got != MAP_FAILED) {
                errno = saved_errno;
                return;
            }
            break;
        }
    }
    errno = saved_errno;
    pass_on(sig, info, context);
}

void install() {
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page > 0) {
        g_page = static_cast<std::uintptr_t>(page);
    }
    struct sigaction sa {};
    sa.sa_sigaction = on_sigbus;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    g_installed = ::sigaction(SIGBUS, &sa, &g_previous) == 0;
}

} // namespace

MappingGuard MappingGuard::watch(const void* base, std::size_t len) {
    static std::once_flag once;
    std::call_once(once, install);
    if (!g_installed || base == nullptr || len == 0) {
        return {};
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(base);
    for (int i = 0; i < kSlots; ++i) {
        std::uintptr_t expected = kFree;
        if (g_slots[i].begin.compare_exchange_strong(expected, kTaking,
                                                     std::memory_order_acq_rel)) {
            g_slots[i].end.store(begin + len, std::memory_order_relaxed);
            g_slots[i].cut.store(false, std::memory_order_relaxed);
            g_slots[i].begin.store(begin, std::memory_order_release);
            return MappingGuard(i);
        }
    }
    return {};
}

MappingGuard& MappingGuard::operator=(MappingGuard&& o) noexcept {
    if (this != &o) {
        reset();
        slot_ = o.slot_;
        o.slot_ = -1;
    }
    return *this;
}

void MappingGuard::reset() noexcept {
    if (slot_ >= 0) {
        g_slots[slot_].begin.store(kFree, std::memory_order_release);
        slot_ = -1;
    }
}

bool MappingGuard::cut() const noexcept {
    return slot_ >= 0 && g_slots[slot_].cut.load(std::memory_order_acquire);
}

} // namespace vexlor

// A hash table that also keeps its entries in order of last use, so that the
// least recently used one is found in constant time.
//
// Both caps of a split run (live flows, open files) evict "the entry with the
// smallest last-use counter".  Every use moves an entry to the back of the
// recency list, so the list is always sorted by that counter and its front is
// the victim.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/huge_page_allocator.h"

namespace vexlor {

// The handle of no entry.
inline constexpr std::uint32_t kLruNil = 0xFFFFFFFFu;

// `Key` is compared with ==; `Hash` gives its 64-bit hash.  Callers that
// already hold a key's hash pass it, so a key is hashed once per use.
template <class Key, class V, class Hash> class LruTable {
public:
    static constexpr std::uint32_t kNil = kLruNil;

    LruTable() { rehash(16); }
    LruTable(LruTable&& o) noexcept { swap(o); }
    LruTable& operator=(LruTable&& o) noexcept {
        LruTable tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    LruTable(const LruTable&) = delete;
    LruTable& operator=(const LruTable&) = delete;

    void swap(LruTable& o) noexcept {
        nodes_.swap(o.nodes_);
        slots_.swap(o.slots_);
        std::swap(head_, o.head_);
        std::swap(tail_, o.tail_);
        std::swap(free_, o.free_);
        std::swap(size_, o.size_);
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Entries are addressed by a handle that stays valid until the entry is
    // removed (references into the table do not survive an insert).
    using Handle = std::uint32_t;

    // The handle of `key`'s entry, or kNil.  Does not change the order.
    Handle find(const Key& key, std::uint64_t h) const { return lookup(key, h); }
    Handle find(const Key& key) const { return lookup(key, Hash{}(key)); }

    // Cache hints for a lookup of `h` coming soon: first the slot, then
    // (once the slot is likely cached) the node it points at.
    void prefetch_slot(std::uint64_t h) const {
        if (!slots_.empty()) {
            __builtin_prefetch(&slots_[h & (slots_.size() - 1)]);
        }
    }
    void prefetch_node(std::uint64_t h) const {
        if (slots_.empty()) {
            return;
        }
        // The first node whose slot carries the hash's tag, most likely the
        // one the lookup will want.
        const std::size_t mask = slots_.size() - 1;
        const std::uint32_t tag = tag_of(h);
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.node == kNil) {
                return;
            }
            if (slot.tag == tag) {
                const char* p = reinterpret_cast<const char*>(&nodes_[slot.node]);
                __builtin_prefetch(p);
                __builtin_prefetch(p + 64);
                return;
            }
        }
    }

    V& at(Handle n) { return nodes_[n].value; }
    const V& at(Handle n) const { return nodes_[n].value; }
    const Key& key_at(Handle n) const { return nodes_[n].key; }

    // Marks an entry as the most recently used.
    void touch(Handle n) { move_to_back(n); }

    // Inserts a new entry (the key must be absent) as the most recently used.
    Handle insert(const Key& key, std::uint64_t h, V value) {
        if ((size_ + 1) * 2 > slots_.size()) {
            rehash(std::max<std::size_t>(16, slots_.size() * 2));
        }
        std::uint32_t n;
        if (free_ != kNil) {
            n = free_;
            free_ = nodes_[n].next;
            nodes_[n].key = key;
            nodes_[n].hash = h;
            nodes_[n].value = std::move(value);
        } else {
            n = static_cast<std::uint32_t>(nodes_.size());
            nodes_.push_back(Node{key, h, kNil, kNil, true, std::move(value)});
        }
        nodes_[n].live = true;
        place(n);
        link_back(n);
        ++size_;
        return n;
    }
    Handle insert(const Key& key, V value) { return insert(key, Hash{}(key), std::move(value)); }

    // The least recently used entry, or kNil when empty.
    Handle front() const { return head_; }

    // Removes the least recently used entry and returns its value.
    V pop_front() {
        std::uint32_t n = head_;
        unlink(n);
        unplace(n);
        V out = std::move(nodes_[n].value);
        nodes_[n].value = V{};
        nodes_[n].live = false;
        nodes_[n].next = free_;
        free_ = n;
        --size_;
        return out;
    }

    // Visits every live entry, least recently used first.
    template <class F> void for_each(F&& f) {
        for (std::uint32_t n = head_; n != kNil; n = nodes_[n].next) {
            f(nodes_[n].key, nodes_[n].value);
        }
    }

    // Visits the handle of every live entry, least recently used first.
    template <class F> void for_each_handle(F&& f) const {
        for (std::uint32_t n = head_; n != kNil; n = nodes_[n].next) {
            f(n);
        }
    }

    // Removes everything, visiting each value (least recent first) on the way.
    template <class F> void drain(F&& f) {
        while (head_ != kNil) {
            f(pop_front());
        }
    }

private:
    // A slot holds its node's index and the high half of its hash, so that
    // probing past other keys does not touch their nodes.
    struct Slot {
        std::uint32_t node = kNil;
        std::uint32_t tag = 0;
    };
    static std::uint32_t tag_of(std::uint64_t h) { return static_cast<std::uint32_t>(h >> 32); }

    struct Node {
        Key key;
        std::uint64_t hash;
        std::uint32_t prev;
        std::uint32_t next;
        bool live;
        V value;
    };

    std::uint32_t lookup(const Key& key, std::uint64_t h) const {
        if (slots_.empty()) {
            return kNil; // moved from
        }
        const std::size_t mask = slots_.size() - 1;
        const std::uint32_t tag = tag_of(h);
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.node == kNil) {
                return kNil;
            }
            if (slot.tag == tag && nodes_[slot.node].hash == h && nodes_[slot.node].key == key) {
                return slot.node;
            }
        }
    }
    void place(std::uint32_t n) {
        std::size_t mask = slots_.size() - 1;
        std::size_t i = nodes_[n].hash & mask;
        while (slots_[i].node != kNil) {
            i = (i + 1) & mask;
        }
        slots_[i] = Slot{n, tag_of(nodes_[n].hash)};
    }
    // Linear-probing deletion by backward shift, so lookups never need
    // tombstones.
    void unplace(std::uint32_t n) {
        std::size_t mask = slots_.size() - 1;
        std::size_t i = nodes_[n].hash & mask;
        while (slots_[i].node != n) {
            i = (i + 1) & mask;
        }
        std::size_t j = i;
        for (;;) {
            j = (j + 1) & mask;
            if (slots_[j].node == kNil) {
                break;
            }
            std::size_t ideal = nodes_[slots_[j].node].hash & mask;
            // Move slots_[j] into the hole at i unless its ideal slot lies
            // cyclically in (i, j].
            bool stays = (i <= j) ? (i < ideal && ideal <= j) : (i < ideal || ideal <= j);
            if (!stays) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = Slot{};
    }
    void rehash(std::size_t cap) {
        slots_.assign(cap, Slot{});
        for (std::uint32_t n = 0; n < nodes_.size(); ++n) {
            if (nodes_[n].live) {
                place(n);
            }
        }
    }
    void link_back(std::uint32_t n) {
        nodes_[n].prev = tail_;
        nodes_[n].next = kNil;
        if (tail_ != kNil) {
            nodes_[tail_].next = n;
        } else {
            head_ = n;
        }
        tail_ = n;
    }
    void unlink(std::uint32_t n) {
        Node& x = nodes_[n];
        if (x.prev != kNil) {
            nodes_[x.prev].next = x.next;
        } else {
            head_ = x.next;
        }
        if (x.next != kNil) {
            nodes_[x.next].prev = x.prev;
        } else {
            tail_ = x.prev;
        }
    }
    void move_to_back(std::uint32_t n) {
        if (tail_ == n) {
            return;
        }
        unlink(n);
        link_back(n);
    }

    std::vector<Node, HugePageAllocator<Node>> nodes_;
    std::vector<Slot, HugePageAllocator<Slot>> slots_;
    std::uint32_t head_ = kNil;
    std::uint32_t tail_ = kNil;
    std::uint32_t free_ = kNil;
    std::size_t size_ = 0;
};

} // namespace vexlor

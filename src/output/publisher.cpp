#include "output/publisher.h"

namespace vexlor {

Publisher::File Publisher::add(const std::string& name) {
    auto [at, fresh] = index_of_.try_emplace(name, static_cast<std::uint32_t>(files_.size()));
    if (fresh) {
        files_.push_back(Names{names_final_ ? name : "." + name + ".tmp", name});
    }
    return File{at->second, fresh};
}

void Publisher::drop_last() {
    index_of_.erase(files_.back().final);
    files_.pop_back();
}

std::optional<std::string>
Publisher::clash(const OutputDir& dir, const std::function<bool(const std::string&)>& kept) const {
    for (const Names& f : files_) {
        if (kept(f.final) && dir.size_of(f.temp)) {
            return f.final;
        }
    }
    return std::nullopt;
}

void Publisher::remove_temporaries(const OutputDir& dir) const {
    for (const Names& f : files_) {
        dir.remove(f.temp);
    }
}

Status Publisher::publish(const OutputDir& dir, bool drop_empty, Published* done) const {
    for (const Names& f : files_) {
        if (drop_empty && f.bytes == 0) {
            dir.remove(f.temp);
            continue;
        }
        if (names_final_) {
            if (done) {
                done->files += 1;
                done->bytes += f.bytes;
            }
            continue;
        }
        if (auto st = dir.rename(f.temp, f.final); !st) {
            if (!dir.size_of(f.temp)) {
                continue; // removed behind our back: nothing to publish
            }
            return st;
        }
        if (done) {
            done->files += 1;
            done->bytes += f.bytes;
        }
    }
    return {};
}

} // namespace vexlor

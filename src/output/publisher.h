// The files of a split under their temporary names, and the one step that
// gives them their final names.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

#include "common/result.h"
#include "output/output_dir.h"

namespace vexlor {

// Temporary names are hidden (".NAME.tmp") and final names are NAME: nothing
// appears under a final name until every file is complete.
class Publisher {
public:
    // `names_final`: files are made under their final names and publishing
    // renames nothing (see SplitWriterOptions::names_final).
    explicit Publisher(bool names_final = false) : names_final_(names_final) {}

    struct File {
        std::uint32_t index; // of the file, for temp_name()
        bool fresh;          // false: another flow already writes this file
    };
    // Registers the file NAME.  Distinct flow names can sanitise to one file
    // name (IPv6 "::ffff:1:2:3:4" and "::ffff:1.2.3.4", say); the second flow
    // then gets the first one's file, to join rather than truncate it.
    File add(const std::string& name);
    // Takes back the registration of a fresh file that could not be created.
    void drop_last();

    const std::string& temp_name(std::uint32_t index) const { return files_[index].temp; }
    // Counts bytes handed over for writing into the file `index`: its size
    // once they are written, without asking the file system.
    void add_bytes(std::uint32_t index, std::uint64_t n) { files_[index].bytes += n; }

    // Files renamed and their bytes.
    struct Published {
        std::uint64_t files = 0;
        std::uint64_t bytes = 0;
    };
    // Renames every file that is still there to its final name, in the
    // order they were added; with `drop_empty`, a file given no bytes is
    // removed instead.  The first failed rename ends it.  Counts what it renamed
    // into `*done` when given.
    [[nodiscard]] Status publish(const OutputDir& dir, bool drop_empty,
                                 Published* done = nullptr) const;

    // The first final name (of a file still there to publish) that `kept`
    // says must not be replaced.
    std::optional<std::string> clash(const OutputDir& dir,
                                     const std::function<bool(const std::string&)>& kept) const;

    // Removes every temporary file still there.
    void remove_temporaries(const OutputDir& dir) const;

private:
    struct Names {
        std::string temp;
        std::string final;
        std::uint64_t bytes = 0;
    };
    std::deque<Names> files_; // names stay where they are while files are added
    std::unordered_map<std::string, std::uint32_t> index_of_; // final name -> files_
    bool names_final_;
};

} // namespace vexlor

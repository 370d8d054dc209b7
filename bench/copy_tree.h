#pragma once

#include <cstdint>
#include <string>

namespace ksr::bench {

struct CopyTally {
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t failed = 0;  // files and folders not copied
};

// The least a Windows program does to copy a folder tree: the calling thread lists `source`
// (files before sub-folders, as the engine walks) and creates the target folders; `threads`
// copy threads open, read, write, flush and close the files in listing order, each written under
// a temporary name in a folder beside `target` and renamed to its own once flushed. No
// digest, no rows. `target` is created if missing; its parent must exist.
//
// With `move`, it does the least that moving a file without risking it takes: the source is
// opened with delete access, and deleted through that handle once its copy is in place. (No
// read-back, no digest, no rows; folders stay.)
CopyTally CopyTree(const std::wstring& source, const std::wstring& target, int threads,
                   bool move = false);

}  // namespace ksr::bench

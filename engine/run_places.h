#pragma once

#include <algorithm>
#include <string>

#include "engine/name_limits.h"
#include "util/paths.h"
#include "util/result.h"

namespace ksr {

// Where a run reads and writes, and how. Set on the run's thread before the walk starts and only
// read while it runs, by every thread.
struct RunPlaces {
    std::wstring storeRoot;   // "\\?\" form of the store root, without a trailing "\"
    std::wstring storeShown;  // the store root as the server's settings give it
    // The chosen folder as typed (with a trailing "\") and its final path: every listed path
    // below the one has its final form below the other.
    std::wstring sourceTyped;
    std::wstring sourceRoot;
    bool mysql = false;
    std::wstring database;  // the server database's name, which the runs' locks carry
    bool deleteSources = false;
    // A check: the run surveys and walks as a run would, and writes nothing anywhere.
    bool checkOnly = false;
    NameLimits limits;
    // The run's own folder below the store root, where new store files are written under
    // temporary names; empty when it could not be made (then `noPartial` says why) or in a check.
    std::wstring partialDir;
    Status noPartial;

    // The "\\?\" form of a file or directory below the store root.
    [[nodiscard]] std::wstring StorePath(const std::wstring& filPath) const {
        return storeRoot + L"\\" + ReplaceAll(filPath, L'/', L'\\');
    }
    // The final-path form `path` (below the chosen folder) has when it is no link; empty when
    // the chosen folder's own could not be had.
    [[nodiscard]] std::wstring ListedFinal(const std::wstring& path) const {
        if (sourceRoot.empty() || !WithSeparator(path).starts_with(sourceTyped)) return {};
        return sourceRoot + path.substr(std::min(path.size(), sourceTyped.size()));
    }
};

}  // namespace ksr

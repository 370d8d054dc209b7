#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "util/handles.h"
#include "util/result.h"

namespace ksr {

// The store root's folder for new store files under temporary names: one folder in it per run,
// claimed by a named mutex while its run lives, so that a later run can tell what a run that was
// ended left from what a running one writes. Claimed and released on the run's thread; the copy
// workers only write into its folder.
class PartialFolder {
  public:
    PartialFolder() = default;
    ~PartialFolder() { Release(); }
    PartialFolder(const PartialFolder&) = delete;
    PartialFolder& operator=(const PartialFolder&) = delete;

    // Removes the files ended runs left below `storeRoot` ("\\?\" form), adding each to
    // `removed` as below `storeShown`, and makes a folder of this run's own.
    [[nodiscard]] Status Claim(const std::wstring& storeRoot, const std::wstring& storeShown,
                               std::vector<std::wstring>& removed);
    // Removes the run's folder (empty by then: every copy was moved or removed) and lets go of
    // its claim.
    void Release();
    // The run's folder ("\\?\" form); empty unless claimed.
    [[nodiscard]] const std::wstring& path() const { return path_; }

  private:
    std::wstring path_;
    unique_handle claim_;
};

// The folder's name below the store root.
inline constexpr wchar_t kPartialFolderName[] = L".ksrimport-partial";

}  // namespace ksr

#pragma once

// How a run is put together: docs/DESIGN.md.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/import_window.h"
#include "engine/run_failure.h"
#include "util/result.h"

namespace ksr {

// What one unit of the walk (a file, a folder, a name turned away) has to tell. The record hears
// it once the unit's batch settles, in the order the walk met the units.
class RunEvents {
  public:
    void Line(std::wstring line);
    // Not imported: an activity line, and an item of the report.
    void Failure(std::wstring path, ItemKind kind, std::wstring reason);
    void Skipped(std::wstring path);
    [[nodiscard]] bool empty() const { return events_.empty(); }

  private:
    friend class RunRecord;
    struct Event {
        enum class Type { Line, Failure, Skipped } type;
        ItemKind kind = ItemKind::FolderNotImported;
        std::wstring text;  // the line, or the item's path
        std::wstring reason;
    };
    std::vector<Event> events_;
};

// The run's record: its activity lines (List1, and the server log), the items not imported and
// passed over, and what went in. Used by one thread at a time: the run's thread before and after
// the walk, the row writer's thread during it; the pipeline's start and Drain hand it over.
class RunRecord {
  public:
    explicit RunRecord(ImportWindow& window) : window_(window) {}

    // A run begins: the last run's record goes, here and in the window.
    void Begin();
    void Line(const std::wstring& line);
    void Failure(const std::wstring& path, ItemKind kind, const std::wstring& reason);
    void Tell(const RunEvents& events);
    // Something that was to be told went wrong on the way: one more item not imported.
    void CountLostItem() { ++failedItems_; }
    // The one line that stands for everything below the chosen folder a run ended early did not
    // reach; those items are counted by the survey, not here.
    void NotReached(const std::wstring& folder, const std::wstring& reason);

    void FileImported(uint64_t bytes) {
        ++filesImported_;
        bytesImported_ += bytes;
    }
    void FolderImported() { ++foldersImported_; }
    // A file an earlier run imported: its store file and rows were there already.
    void FileAlreadyStored() { ++filesAlreadyStored_; }
    void AlreadyStored(std::wstring path) { alreadyStored_.push_back(std::move(path)); }
    [[nodiscard]] const std::vector<std::wstring>& AlreadyStored() const { return alreadyStored_; }
    // A temporary file a run that was ended left in the store is gone: in the run report only.
    void LeftoverRemoved(std::wstring path) { leftovers_.push_back(std::move(path)); }
    [[nodiscard]] const std::vector<std::wstring>& LeftoversRemoved() const { return leftovers_; }
    [[nodiscard]] bool ImportedAny() const { return filesImported_ + foldersImported_ > 0; }
    [[nodiscard]] uint64_t FailedItems() const { return failedItems_; }

    [[nodiscard]] const std::vector<std::wstring>& Lines() const { return lines_; }
    [[nodiscard]] const std::vector<RunFailure>& Failures() const { return failures_; }
    [[nodiscard]] const std::vector<std::wstring>& Skipped() const { return skipped_; }

    // Writes the run report into `directory` (the default one when empty) and returns its path;
    // empty when it could not be written. `notReached` items count as not imported.
    [[nodiscard]] std::wstring WriteReport(const std::optional<std::wstring>& directory,
                                           const SYSTEMTIME& started, ULONGLONG startTick,
                                           uint64_t notReached) const;

  private:
    ImportWindow& window_;
    std::vector<std::wstring> lines_;
    std::vector<RunFailure> failures_;
    std::vector<std::wstring> skipped_;
    std::vector<std::wstring> alreadyStored_;
    std::vector<std::wstring> leftovers_;
    uint64_t failedItems_ = 0;
    uint64_t filesAlreadyStored_ = 0;
    uint64_t filesImported_ = 0, foldersImported_ = 0, bytesImported_ = 0;
};

}  // namespace ksr

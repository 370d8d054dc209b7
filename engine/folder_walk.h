#pragma once

// How a run is put together: docs/DESIGN.md.

#include <windows.h>

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/folder_registrar.h"
#include "engine/import_state.h"
#include "engine/import_window.h"
#include "engine/ordered_pipeline.h"
#include "engine/row_writer.h"
#include "engine/run_flags.h"
#include "engine/run_places.h"
#include "engine/run_record.h"
#include "engine/source_survey.h"
#include "engine/statement_watch.h"
#include "util/handles.h"

namespace ksr {

// How far a walk got: files the survey found that a run ended early never reached are not
// imported either.
struct WalkTally {
    size_t filesExpected = 0;   // by the survey
    size_t filesReached = 0;    // by the walk
    size_t foldersReached = 0;  // sub-folders the walk had registered
};

// The survey of the chosen folder and the walk below it. Everything here runs on the run's
// thread. The walk lists each folder, hands each file's copy and rows to the pipeline as a unit,
// and has each sub-folder registered by the row writer's thread in the same order; what a unit
// tells reaches the record through the row writer, never from here. Only the survey's broken
// listings, before the pipeline starts, are told to the record directly.
class FolderWalk {
  public:
    // What the walk works with; all of it outlives the walk.
    struct With {
        const RunPlaces& places;
        ImportState& state;  // progress, and the chosen folder's name for the holding directory
        ImportWindow& window;
        RunFlags& flags;
        StatementWatch* watch;  // null when statements are not watched
        RunRecord& record;
        RowWriter& writer;
        FolderRegistrar& folders;
        WalkTally& tally;
    };
    explicit FolderWalk(With with) : with_(with) {}

    // Surveys `source` (and the size of `text2`, when given) as imported below `target`: the
    // total to show progress against, the store paths met twice, the files expected. Only
    // reads: broken listings wait for ReportSurveyBreaks.
    void Survey(const std::wstring& source, const std::wstring& text2, const std::wstring& target);
    // The bytes of every file below the surveyed folder; none when it could not be listed.
    [[nodiscard]] std::optional<uint64_t> SurveyedBytes() const { return surveyedBytes_; }
    // Of those, the bytes of files whose store path holds no file of their size yet.
    [[nodiscard]] uint64_t BytesToCopy() const { return bytesToCopy_; }
    // Tells the record the folders whose listing broke off during the survey.
    void ReportSurveyBreaks();
    // Imports the folder `source` into the store-relative directory `target`, under the folder
    // row `ParentID`, then walks its sub-folders; returns once every unit is handed to
    // `pipeline`.
    void Walk(OrderedPipeline& pipeline, std::wstring source, std::wstring target,
              const std::wstring& ParentID, const std::wstring& MyID);
    // Tells a folder whose listing broke off part-way with `error`, once.
    void ReportBrokenListing(const std::wstring& folder, const Error& error);

  private:
    struct SubFolder {
        std::wstring name;                            // as listed, before cleaning
        std::future<std::optional<std::wstring>> id;  // no value when it could not be registered
    };
    // One file's copy (or, in a check, what its copy would do), made on a copy worker and
    // committed on the row writer's thread.
    struct CopyJob {
        std::wstring source;  // as the walk names it
        CopyResult copy;
        std::optional<std::wstring> fault;  // why the copy ended on an exception
    };
    // The folder being listed.
    struct Listed {
        const std::wstring& path;  // absolute, ending in "\"
        const std::wstring& filDir;
        const std::wstring& ParentID;
        const std::wstring& MyID;
    };

    [[nodiscard]] bool StopRequested();
    void Submit(std::function<void()> work, std::function<void()> commit);
    // A unit that only tells: an item not imported.
    void SubmitFailure(std::wstring path, ItemKind kind, std::wstring reason);
    // Lists a folder: imports its files and has its sub-folders registered, which it returns in
    // listing order for the walk to descend into.
    std::vector<SubFolder> ListFolder(const Listed& folder);
    // One entry of the listing; `files` gathers the file names listed.
    void TakeEntry(const Listed& folder, const WIN32_FIND_DATAW& entry,
                   std::vector<std::wstring>& files, std::vector<SubFolder>& subFolders);
    void RegisterSubFolder(const Listed& folder, const std::wstring& name,
                           std::vector<SubFolder>& subFolders);
    // Opens the folder into `held` for its listing. False, with the folder reported, when it is
    // a link or no longer the folder its parent listed.
    bool HoldListedFolder(const std::wstring& path, unique_hfile& held);
    // Reports the files the survey found in `path` that its listing (`listed`, file names) no
    // longer holds.
    void ReportGoneFiles(const std::wstring& path, std::vector<std::wstring>& listed);
    [[nodiscard]] std::shared_ptr<const FileUnit> MakeUnit(const Listed& folder,
                                                           const WIN32_FIND_DATAW& entry) const;
    void ImportFile(const Listed& folder, const WIN32_FIND_DATAW& entry);
    // In a check, the earlier source (in "\\?\" form) whose copy a run would have left at the
    // store path `unit` claimed again; empty when there is none, and then `job` is the one the
    // next claim compares with.
    [[nodiscard]] std::wstring EarlierCopy(const FileUnit& unit, StorePlan::Claim claim,
                                           const std::shared_ptr<const CopyJob>& job);
    // Copies a folder that could not be listed into the holding directory; says why it did not,
    // when a link stood in the way.
    [[nodiscard]] std::wstring HoldUnlistableFolder(const std::wstring& path);
    // Makes the store directory of a sub-folder about to be walked; false, with the folder
    // reported, when a link stands in the way.
    bool PrepareStoreDirectory(const std::wstring& folder, const std::wstring& parentDir,
                               const std::wstring& filDir);
    // Tells the window the share of the source bytes copied, once it moved by a hundredth.
    void ShowProgress();

    With with_;
    OrderedPipeline* pipeline_ = nullptr;  // during Walk
    StorePlan plan_;
    // By folder (as the walk names it), the files the survey found there, "\0"-separated.
    std::unordered_map<std::wstring, std::wstring> surveyedFiles_;
    std::optional<uint64_t> surveyedBytes_;
    uint64_t bytesToCopy_ = 0;
    std::vector<Error> surveyBreaks_;
    std::set<std::wstring> brokenReported_;
    // A check's store paths that more than one source claims, by StoreKey: the job whose copy
    // would be there (see EarlierCopy).
    std::unordered_map<uint64_t, std::shared_ptr<const CopyJob>> checkedPaths_;
    double sourceBytes_ = 0;       // the survey's total; 0 when unknown
    long long progressStep_ = -1;  // the hundredths last told to the window
};

}  // namespace ksr

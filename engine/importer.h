#pragma once

#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "engine/import_state.h"
#include "engine/file_transfer.h"
#include "engine/import_window.h"
#include "engine/ordered_pipeline.h"
#include "server/database.h"

namespace ksr {

// Where the server installation records its executable.
struct ServerRegistration {
    std::wstring root = L"HKEY_LOCAL_MACHINE";
    std::wstring subkey = L"Software\\mw-tz\\KvoServer";
    std::wstring value = L"exe";
};

// The import run and its two walkers. It reaches the window only through ImportWindow and
// keeps the run's activity lines (List1) for the server log.
class Importer {
  public:
    Importer(ImportState& state, ImportWindow& window);

    // The whole run behind "Start importing".
    void importfile();

    // Imports the folder `MyPath` (a real path, never decoded again) into the store-relative
    // directory `fil_dir`, under the folder row `ParentID`, then walks its sub-folders.
    void sosuofile(std::wstring MyPath, std::wstring fil_dir, const std::wstring& ParentID,
                   const std::wstring& MyID);

    // Registers the selected folder itself; returns its folder id or empty text.
    std::wstring genfolder(std::wstring MyPath, std::wstring fil_dir, const std::wstring& ParentID,
                           const std::wstring& MyID);

    // Appends the run's activity lines to the server's daily log.
    void serverlog();

    // Tests point the run at a registry key of their own.
    void SetRegistration(ServerRegistration registration) {
        registration_ = std::move(registration);
    }

    const std::vector<std::wstring>& List1() const { return lines_; }

  private:
    struct SubFolder {
        std::wstring name;                            // as listed, before cleaning
        std::future<std::optional<std::wstring>> id;  // no value when it could not be read
    };

    void AddLine(const std::wstring& line);
    void ReportFailure(const std::wstring& subject, const wchar_t* message);
    void EndRun();
    bool StopRequested();
    std::optional<std::wstring> RegisterFolder(const std::wstring& name,
                                               const std::wstring& ParentID,
                                               const std::wstring& MyID);
    // Runs `work` and then `commit`; during a walk on the pipeline's threads, commits in order.
    void Submit(std::function<void()> work, std::function<void()> commit);
    void CommitFile(const CopyResult& copy, const std::wstring& source, const std::wstring& target,
                    const std::wstring& cleaned, const std::wstring& FilPath,
                    const std::wstring& ParentID, const std::wstring& MyID);
    void ImportOneFile(const std::wstring& MyPath, const std::wstring& fil_dir,
                       const std::wstring& name, uint64_t size, const std::wstring& ParentID,
                       const std::wstring& MyID);
    void HoldUnlistableFolder(const std::wstring& MyPath);
    void ShowProgress();

    ImportState& state_;
    ImportWindow& window_;
    ServerRegistration registration_;
    std::optional<DbSession> db_;
    // During the walk: file copies on two threads, rows and lines on one, in listing order.
    std::optional<OrderedPipeline> pipeline_;
    std::vector<std::wstring> lines_;
    int failedItems_ = 0;
    bool stopped_ = false;
    std::wstring label2_;
};

}  // namespace ksr

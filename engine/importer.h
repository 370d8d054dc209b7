#pragma once

// How a run is put together: docs/DESIGN.md.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/folder_walk.h"
#include "engine/import_state.h"
#include "engine/import_window.h"
#include "engine/partial_folder.h"
#include "engine/run_flags.h"
#include "engine/run_outcome.h"
#include "engine/run_places.h"
#include "engine/run_record.h"
#include "engine/statement_watch.h"
#include "server/database.h"

namespace ksr {

// Where the server installation records its executable.
struct ServerRegistration {
    std::wstring root = L"HKEY_LOCAL_MACHINE";
    std::wstring subkey = L"Software\\mw-tz\\KvoServer";
    std::wstring value = L"exe";
};

// The import run behind "Start importing": it finds the server, checks the chosen folder, and
// has the folder walked, its rows written and its record kept by the classes of docs/DESIGN.md.
// It reaches the window only through ImportWindow. Called on the run's thread only; the
// accessors are read once a run has ended.
class Importer {
  public:
    Importer(ImportState& state, ImportWindow& window);

    // The whole run; it ends by telling the window how it ended.
    void importfile();

    // A check: the next runs survey and walk the chosen folder and the store exactly as a run
    // would, and import nothing: no copy, no row, no version counter, no deletion, no holding
    // copy, no store directory, no server log and no run report. What a run would not import
    // is in Failures() and Skipped(), with a run's own kinds and reasons, and the window hears
    // the lines and the ending a run would give.
    void SetCheckOnly(bool checkOnly) { checkOnly_ = checkOnly; }

    // Tests point the run at a registry key of their own.
    void SetRegistration(ServerRegistration registration) {
        registration_ = std::move(registration);
    }

    // The last run's activity lines (List1), as the server log gets them.
    [[nodiscard]] const std::vector<std::wstring>& List1() const { return record_.Lines(); }
    // The last run's items not imported (or, for a source kept, not deleted), with why.
    [[nodiscard]] const std::vector<RunFailure>& Failures() const { return record_.Failures(); }
    // The last run's files passed over by rule (system files): in the run report only.
    [[nodiscard]] const std::vector<std::wstring>& Skipped() const { return record_.Skipped(); }
    // The last run's files an earlier run imported (their store files and rows were there): in
    // the run report only. A check lists those a run would find so.
    [[nodiscard]] const std::vector<std::wstring>& AlreadyStored() const {
        return record_.AlreadyStored();
    }
    // The temporary files ended runs left in the store that the last run removed.
    [[nodiscard]] const std::vector<std::wstring>& LeftoversRemoved() const {
        return record_.LeftoversRemoved();
    }

    // How long to wait for the database to connect and to answer one statement; tests that
    // stall the server wait less.
    void SetDatabaseTimeouts(unsigned loginSeconds, unsigned statementSeconds) {
        loginTimeout_ = loginSeconds;
        statementTimeout_ = statementSeconds;
    }

    // Where run reports go; tests choose a folder of their own.
    void SetReportDirectory(std::wstring directory) { reportDirectory_ = std::move(directory); }
    // The last run's report, empty when none was written.
    [[nodiscard]] const std::wstring& ReportPath() const { return reportPath_; }

    // What the last run met below the chosen folder, and the room on the store's volume: the
    // summary a check ends with.
    struct Figures {
        uint64_t files = 0, folders = 0, bytes = 0;
        std::optional<uint64_t> storeFree;  // none when it could not be read
        uint64_t roomNeeded = 0;            // the bytes and the margin a run keeps
    };
    [[nodiscard]] const Figures& RunFigures() const { return figures_; }

  private:
    // The folder Text1 names, as typed or picked, taken as it stands (a "%" or "+" in it is
    // part of a name); refuses the run when it names none.
    [[nodiscard]] std::optional<std::wstring> ChosenFolder();
    // Finds the server through the registry, reads its settings and connects; false, with the
    // run ended, when it can't.
    [[nodiscard]] bool ConnectToServer();
    // A directory the server writes to or runs from that the chosen folder (final path
    // `resolved`) is, holds or lies inside.
    [[nodiscard]] std::optional<std::wstring> Overlap(const std::wstring& resolved);
    // Everything a run starts from: the watch, a fresh record, the places.
    void StartRun(const std::wstring& source, const std::wstring& resolved);
    // The survey of the chosen folder, the room check, its registration in root mode, and the
    // walk. False when the run was refused for want of room, with nothing written.
    [[nodiscard]] bool Walk(const std::wstring& source, const std::wstring& text2,
                            const std::wstring& target, const std::wstring& rootName,
                            bool rootMode);
    // Refuses the run when the store's volume has less free than copying `toCopy` of the
    // `bytes` below the chosen folder needs.
    [[nodiscard]] bool RefusedForRoom(uint64_t bytes, uint64_t toCopy);
    // Bumps the version counters, for the clients that refresh when a run begins.
    void AnnounceRun();
    // Claims the run's folder for temporary store files, removing what ended runs left.
    void ClaimPartialFolder();
    // Registers the selected folder itself and returns its folder id. When it can't, reports the
    // folder with why and fails: with the Win32 error and the folder's path, or the database's
    // error.
    [[nodiscard]] Result<std::wstring> genfolder(std::wstring MyPath, std::wstring fil_dir,
                                                 const std::wstring& ParentID,
                                                 const std::wstring& MyID,
                                                 FolderRegistrar& folders);
    // After the walk: the counters again, the log, the report, and the window told.
    void FinishRun(const std::wstring& source, const SYSTEMTIME& started, ULONGLONG startTick);
    // Appends the run's activity lines to the server's daily log; fails with why it could not.
    [[nodiscard]] Status serverlog();
    void EndRun();
    // A run turned away before anything is written; `outcome` carries what the refusal names.
    void Refuse(RunOutcome::Refusal refusal, RunOutcome outcome = {});
    // How a run that reached the walk ended.
    [[nodiscard]] RunOutcome Outcome(bool logWritten) const;
    // Files the survey found that a run ended early never reached: not imported either.
    [[nodiscard]] size_t NotReached() const;

    ImportState& state_;
    ImportWindow& window_;
    ServerRegistration registration_;
    std::optional<DbSession> db_;
    // Folders get a connection of their own (see FolderRegistrar).
    std::optional<DbSession> folderDb_;
    // From the first statement of the walk to the last: cancels what waits once stopped.
    std::optional<StatementWatch> watch_;
    RunRecord record_;
    RunFlags flags_;
    RunPlaces places_;
    // The run's folder for new store files under temporary names, from the first write on.
    PartialFolder partial_;
    WalkTally tally_;
    bool versionsBumped_ = true;
    bool announced_ = false;  // the counters were bumped as this run began
    bool checkOnly_ = false;
    Figures figures_;
    std::optional<std::wstring> reportDirectory_;
    unsigned loginTimeout_ = 15, statementTimeout_ = 30;
    std::wstring reportPath_;
    std::wstring databaseName_;  // from the server's settings
};

}  // namespace ksr

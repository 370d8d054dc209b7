#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "console/console_output.h"
#include "engine/import_window.h"

namespace ksr {

// What a command-line run has for a window: the folder and the mode come from the command
// line; the items not imported and the progress go to the console. Called from the run's
// threads as ImportWindow says (progress from the walk, items from the thread that holds the
// run's record, the end from the run's thread); RequestStop from the console's signal thread.
class ConsoleWindow : public ImportWindow {
  public:
    ConsoleWindow(ConsoleOutput& out, std::wstring folder, bool rootMode);

    [[nodiscard]] std::wstring Text1() const override { return folder_; }
    [[nodiscard]] std::wstring Text2() const override { return {}; }
    [[nodiscard]] bool Check2() const override { return rootMode_; }
    void SetText3(const std::wstring& /*serverExe*/) override {}
    // The activity lines go to the server's log; the console gets the items not imported.
    void ClearList1() override {}
    void AddList1(const std::wstring& /*line*/) override {}
    void SetProgress(double fraction) override { fraction_ = fraction; }
    void FileReached(uint64_t files, uint64_t bytes) override;
    void NotImported(const RunFailure& item) override;
    void RunEnded(const RunOutcome& outcome) override { outcome_ = outcome; }
    [[nodiscard]] bool StopRequested() const override { return stop_; }

    // True for the first request only.
    bool RequestStop() { return !stop_.exchange(true); }
    // How the run ended, once it told.
    [[nodiscard]] const std::optional<RunOutcome>& Outcome() const { return outcome_; }

  private:
    ConsoleOutput& out_;
    const std::wstring folder_;
    const bool rootMode_;
    std::atomic<bool> stop_{false};
    // The walk's: the share copied, when the run knows the total, and when progress began
    // and was last shown.
    double fraction_ = -1;
    uint64_t startTick_ = 0, shownTick_ = 0;
    std::optional<RunOutcome> outcome_;
};

// The progress line: the share when known, the files and MiB reached, and the rate.
[[nodiscard]] std::wstring ProgressText(double fraction, uint64_t files, uint64_t bytes,
                                        double seconds);

// One line per item not imported: its kind and path, then why, as the run report says them.
[[nodiscard]] std::wstring NotImportedText(const RunFailure& item);

}  // namespace ksr

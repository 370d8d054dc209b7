#include "console/console_run.h"

#include "app/end_message.h"
#include "console/command_line.h"
#include "console/console_signals.h"
#include "console/console_texts.h"
#include "console/console_window.h"
#include "console/crash_notice.h"
#include "console/elevation.h"
#include "console/exit_code.h"
#include "engine/log_texts.h"
#include "util/paths.h"
#include "util/size_text.h"

namespace ksr {
namespace {

// Each line of `text` as a line of its own, blank ones included.
void PrintLines(ConsoleOutput& out, const std::wstring& text) {
    size_t from = 0;
    for (size_t end = text.find(L'\n'); end != std::wstring::npos; end = text.find(L'\n', from)) {
        out.Line(text.substr(from, end - from));
        from = end + 1;
    }
    out.Line(text.substr(from));
}

// The end message as the window would show it, line by line, then the run report's path when
// the message does not already give it.
void PrintEnd(ConsoleOutput& out, const RunOutcome& outcome, const std::wstring& reportPath) {
    const std::wstring text = EndMessage(outcome).text;
    PrintLines(out, text);
    if (!reportPath.empty() && text.find(reportPath) == std::wstring::npos) out.Line(reportPath);
}

// Why the folder the command names can't be imported; empty when it can. A script's typo or a
// folder not there yet is said as such, not run as an import of nothing.
std::wstring FolderProblem(const std::wstring& folder) {
    const std::wstring path = ReplaceAll(folder, L'/', L'\\');
    if (!IsAbsoluteLocalPath(path)) return cli::kNotFullPath + folder;
    const DWORD attributes = GetFileAttributesW(ToExtendedPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return cli::kNoSuchFolder + folder;
    }
    return {};
}

// What the run leaves for the end lines besides its outcome.
struct RunResult {
    std::wstring reportPath;
    std::vector<std::wstring> skipped;
    Importer::Figures figures;
    size_t alreadyStored = 0;
};

void PrintAlreadyStored(ConsoleOutput& out, const RunResult& result) {
    if (result.alreadyStored > 0) {
        out.Line(std::to_wstring(result.alreadyStored) + cli::kAlreadyStored);
    }
}

// The end of a check that got through the walk: the files passed over by rule, the verdict, and
// the summary with the room on the store's volume. Returns the exit code: 0 only when a run
// would import everything and is known to have the room for it.
int PrintCheckEnd(ConsoleOutput& out, const RunOutcome& outcome, const RunResult& result) {
    for (const std::wstring& path : result.skipped) {
        out.Line(NotImportedText({path, ItemKind::Skipped, reason::kSystemFile}));
    }
    PrintAlreadyStored(out, result);
    const uint64_t items = outcome.notImported;
    out.Line(items == 0 ? std::wstring(cli::kCheckClean)
                        : cli::kCheckItemsBefore + std::to_wstring(items) + cli::kCheckItemsAfter);
    const Importer::Figures& figures = result.figures;
    std::wstring summary = cli::kSummaryFiles + std::to_wstring(figures.files) +
                           cli::kSummaryFolders + std::to_wstring(figures.folders) +
                           cli::kSummaryBytes + SizeText(figures.bytes);
    summary += figures.storeFree ? cli::kSummaryFree + SizeText(*figures.storeFree)
                                 : std::wstring(cli::kSummaryFreeUnknown);
    const bool shortOfRoom = figures.storeFree && *figures.storeFree < figures.roomNeeded;
    // Free space that can't be read may be a store that is not there: no clean bill.
    const bool roomKnown = figures.storeFree.has_value();
    if (shortOfRoom) {
        summary +=
            cli::kSummaryShortBefore + SizeText(figures.roomNeeded) + cli::kSummaryShortAfter;
    }
    out.Line(summary + L"。");
    return items == 0 && roomKnown && !shortOfRoom ? kExitImported : kExitPartly;
}

RunOutcome InternalFailure() {
    RunOutcome outcome;
    outcome.ending = RunOutcome::Ending::InternalFailure;
    return outcome;
}

}  // namespace

int RunCommandLine(const std::vector<std::wstring>& args, ConsoleOutput& out,
                   const ConsoleRunSettings& settings) {
    CommandLine line = ParseCommandLine(args);
    if (line.problem.empty() && !line.help) line.problem = FolderProblem(line.folder);
    if (!line.problem.empty()) {
        out.Line(line.problem);
        out.Line({});
        PrintLines(out, cli::kUsage);
        return kExitRefused;
    }
    if (line.help) {
        PrintLines(out, cli::kUsage);
        return kExitImported;
    }
    // A console can't ask for elevation without losing itself: refused before anything is read.
    if (!(settings.elevated ? settings.elevated() : ProcessIsElevated())) {
        out.Line(cli::kNotElevated);
        return kExitRefused;
    }
    NameCrashDumps(out, settings.reportDirectory);
    ImportState state;
    // The flag on the command line is the operator's answer to the delete question.
    state.DeleteAfterImport = line.deleteSources;
    ConsoleWindow window(out, line.folder, line.rootMode);
    RunResult result;
    {
        ConsoleSignals signals(window, out);
        // The run reports its own failures; this catches what would otherwise end the program
        // with no end line and a misleading exit code.
        try {
            Importer importer(state, window);
            importer.SetRegistration(settings.registration);
            if (settings.reportDirectory) importer.SetReportDirectory(*settings.reportDirectory);
            importer.SetCheckOnly(line.check);
            importer.importfile();
            result = {importer.ReportPath(), importer.Skipped(), importer.RunFigures(),
                      importer.AlreadyStored().size()};
        } catch (...) {
            window.RunEnded(InternalFailure());
        }
        signals.RunEnded();
    }
    const RunOutcome outcome = window.Outcome().value_or(InternalFailure());
    using Ending = RunOutcome::Ending;
    if (line.check &&
        (outcome.ending == Ending::Succeeded || outcome.ending == Ending::PartlyFailed)) {
        return PrintCheckEnd(out, outcome, result);
    }
    PrintAlreadyStored(out, result);
    PrintEnd(out, outcome, result.reportPath);
    return ExitCodeOf(outcome);
}

}  // namespace ksr

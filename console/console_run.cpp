#include "console/console_run.h"

#include "app/end_message.h"
#include "console/command_line.h"
#include "console/console_signals.h"
#include "console/console_texts.h"
#include "console/console_window.h"
#include "console/exit_code.h"
#include "util/paths.h"

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
    ImportState state;
    // The flag on the command line is the operator's answer to the delete question.
    state.DeleteAfterImport = line.deleteSources;
    ConsoleWindow window(out, line.folder, line.rootMode);
    std::wstring reportPath;
    {
        ConsoleSignals signals(window, out);
        // The run reports its own failures; this catches what would otherwise end the program
        // with no end line and a misleading exit code.
        try {
            Importer importer(state, window);
            importer.SetRegistration(settings.registration);
            if (settings.reportDirectory) importer.SetReportDirectory(*settings.reportDirectory);
            importer.importfile();
            reportPath = importer.ReportPath();
        } catch (...) {
            window.RunEnded(InternalFailure());
        }
        signals.RunEnded();
    }
    const RunOutcome outcome = window.Outcome().value_or(InternalFailure());
    PrintEnd(out, outcome, reportPath);
    return ExitCodeOf(outcome);
}

}  // namespace ksr

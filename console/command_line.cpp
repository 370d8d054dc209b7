#include "console/command_line.h"

#include <cwctype>

#include "console/console_texts.h"

namespace ksr {
namespace {

bool IsOption(const std::wstring& arg) {
    return arg.size() > 1 && (arg[0] == L'/' || arg[0] == L'-');
}

std::wstring Lowered(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::wstring>& args) {
    CommandLine line;
    for (const std::wstring& arg : args) {
        if (!IsOption(arg)) {
            if (!line.folder.empty()) {
                line.problem = cli::kTwoFolders + arg;
                return line;
            }
            line.folder = arg;
            continue;
        }
        const std::wstring name = Lowered(arg.substr(1));
        if (name == L"root") {
            line.rootMode = true;
        } else if (name == L"delete") {
            line.deleteSources = true;
        } else if (name == L"check") {
            line.check = true;
        } else if (name == L"?" || name == L"h" || name == L"help") {
            line.help = true;
        } else {
            line.problem = cli::kUnknownOption + arg;
            return line;
        }
    }
    // The usage and nothing else: asked for beside a run, it would pass for one that imported.
    if (line.help && (!line.folder.empty() || line.rootMode || line.deleteSources || line.check)) {
        line.problem = cli::kHelpAlone;
    } else if (!line.help && line.folder.empty()) {
        line.problem = cli::kNoFolder;
    }
    return line;
}

}  // namespace ksr

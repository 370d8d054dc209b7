#pragma once

#include <string>
#include <vector>

namespace ksr {

// What the command line asks for: `ksrimport <folder> [/root] [/delete] [/check] [/?]`. Options may
// start with "-" as well as "/", in any letter case.
struct CommandLine {
    std::wstring folder;
    bool rootMode = false;       // import the folder itself as the root folder
    bool deleteSources = false;  // delete each source once it is imported, without asking
    bool check = false;          // list what a run would not import, and import nothing
    bool help = false;           // print the usage and nothing else
    // Why the arguments make no command; the usage follows it. Empty for a good command.
    std::wstring problem;
};

// Reads the arguments after the program's name.
[[nodiscard]] CommandLine ParseCommandLine(const std::vector<std::wstring>& args);

}  // namespace ksr

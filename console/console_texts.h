#pragma once

// The command line's own texts; the operator's guide quotes them.
namespace ksr::cli {

inline constexpr wchar_t kUsage[] =
    L"用法 (usage): ksrimport <文件夹> [/root] [/delete] [/check] [/?]\n"
    L"\n"
    L"  <文件夹>  要导入的文件夹的完整路径 (full path of the folder to import)\n"
    L"  /root     把所选文件夹本身作为根文件夹导入\n"
    L"            (import the folder itself as the root folder)\n"
    L"  /delete   导入后删除原文件，不再询问\n"
    L"            (delete the source files after importing, without asking)\n"
    L"  /check    只检查，不导入：列出不能导入的项目和原因，以及所需和可用的空间\n"
    L"            (check only: list what would not be imported and why, and the room)\n"
    L"  /?        显示本说明 (show this help)\n"
    L"\n"
    L"选项也可以用 - 开头，不区分大小写。(Options may also start with -, in any letter case.)\n"
    L"不带参数运行时打开导入窗口。(Run without arguments, the import window opens.)\n"
    L"\n"
    L"退出代码 (exit codes):\n"
    L"  0  全部导入；/check：全部可以导入 (everything imported; /check: everything can be)\n"
    L"  1  有项目未能导入，详见运行报告；/check：有项目不能导入或空间不足\n"
    L"     (some items not imported, see the run report; /check: some would not be, or no room)\n"
    L"  2  拒绝导入：用法错误、未以管理员身份运行、不在服务器上、文件夹重叠或磁盘空间不足\n"
    L"     (refused: usage, not elevated, not on the server, overlap, or no room)\n"
    L"  3  无法连接服务器数据库，未导入任何文件 (the database could not be reached; nothing "
    L"imported)\n"
    L"  4  导入已停止，或与数据库的连接中断 (stopped, or the database was lost mid-run)\n"
    L"  5  内部错误 (internal failure)";

// Why the arguments make no command; the usage follows. The argument follows the first two.
inline constexpr wchar_t kUnknownOption[] = L"未知选项 (unknown option): ";
inline constexpr wchar_t kTwoFolders[] = L"只能指定一个文件夹 (only one folder may be given): ";
inline constexpr wchar_t kNoFolder[] = L"未指定要导入的文件夹 (no folder given)";
inline constexpr wchar_t kHelpAlone[] = L"/? 只能单独使用 (/? goes alone)";
// Why a folder named on the command line is refused; the folder follows.
inline constexpr wchar_t kNotFullPath[] = L"不是本机文件夹的完整路径 (not a full local path): ";
inline constexpr wchar_t kNoSuchFolder[] = L"文件夹不存在 (no such folder): ";

// Why a run is refused when the process is not elevated.
inline constexpr wchar_t kNotElevated[] =
    L"需要管理员权限：请在以管理员身份运行的命令提示符中运行，或作为计划任务以最高权限运行。"
    L"(administrator rights needed: run it from an elevated prompt, or as a scheduled task "
    L"with the highest privileges)";

// Said at the start after a crash: the dump's path follows the first, its folder the second.
inline constexpr wchar_t kCrashDump[] =
    L"上次运行意外终止，已写下崩溃转储 (the last run crashed; it left a dump): ";
inline constexpr wchar_t kCrashDumpSend[] =
    L"请把此文件夹中的该文件发给技术支持 (please send that file from this folder to support): ";

// The end of a check; the count goes between the parts of the second.
inline constexpr wchar_t kCheckClean[] =
    L"检查完成：所有项目都可以导入。(check: everything can be imported)";
inline constexpr wchar_t kCheckItemsBefore[] = L"检查完成：有 ";
inline constexpr wchar_t kCheckItemsAfter[] =
    L" 项不会导入，原因见上。(check: items listed above would not be imported)";
// The check's summary: files, folders and bytes below the folder, then the room on the store's
// volume; the figures go between the parts.
inline constexpr wchar_t kSummaryFiles[] = L"共 ";
inline constexpr wchar_t kSummaryFolders[] = L" 个文件、";
inline constexpr wchar_t kSummaryBytes[] = L" 个文件夹，";
inline constexpr wchar_t kSummaryFree[] = L"；存储目录所在磁盘可用 ";
inline constexpr wchar_t kSummaryFreeUnknown[] = L"；存储目录所在磁盘的可用空间未能读取";
inline constexpr wchar_t kSummaryShortBefore[] = L"。磁盘空间不足，导入需要 ";
inline constexpr wchar_t kSummaryShortAfter[] = L"，导入会被拒绝";

// The files an earlier run imported, after their count: said before the end of a run or a
// check when there are any.
inline constexpr wchar_t kAlreadyStored[] =
    L" 个文件此前已导入（存储和数据库中都已有），不重复登记。(files imported before, not "
    L"registered again)";

// Said once when Ctrl+C, Ctrl+Break or closing the console asks the run to stop.
inline constexpr wchar_t kStopping[] =
    L"正在停止导入：手上的文件完成、日志写好后结束。(Stopping after the file in hand.)";

}  // namespace ksr::cli

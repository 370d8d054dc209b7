#pragma once

// Every text the window shows in a message box, and its title. The operator's guide quotes
// every one of them.
namespace ksr {

inline constexpr wchar_t kAppTitle[] = L"Tavrin KSR 文件导入";

}  // namespace ksr

namespace ksr::msg {

// The questions the window asks.
inline constexpr wchar_t kDeleteQuestion[] = L"导入后是否删除原文件!";
inline constexpr wchar_t kDeleteCaption[] = L"操作提示";
inline constexpr wchar_t kStopQuestion[] = L"导入尚未完成，确定要停止导入吗？";

// Shown once at the start after a crash: the dump's path goes between the first two parts, the
// folder that holds it between the last two.
inline constexpr wchar_t kCrashDumpBefore[] = L"上次运行意外终止，已写下崩溃转储文件：\n";
inline constexpr wchar_t kCrashDumpMiddle[] = L"\n\n请把文件夹“";
inline constexpr wchar_t kCrashDumpAfter[] = L"”中的该文件发给技术支持。";

// Refusals, under the application title.
inline constexpr wchar_t kChoosePath[] = L"请选择公共文档或网络硬盘的路径";
inline constexpr wchar_t kNotOnServer[] = L"请在TavrinKSR服务端所在服务器导入!";
// The chosen folder holds, or lies inside, a directory the import writes to; the directory
// goes between the two parts.
inline constexpr wchar_t kOverlapBefore[] = L"所选文件夹与目录“";
inline constexpr wchar_t kOverlapAfter[] =
    L"”重叠（服务器的文件存储目录或导入的暂存目录），不能导入。请选择其他文件夹。";
// The store's volume lacks the room for the chosen folder: the room needed, its margin included,
// and the room there is go between the parts, as sizes.
inline constexpr wchar_t kNoRoomBefore[] = L"存储目录所在磁盘空间不足：需要 ";
inline constexpr wchar_t kNoRoomMiddle[] = L"，可用 ";
inline constexpr wchar_t kNoRoomAfter[] = L"，未导入任何文件。";

// The end messages, under this caption.
inline constexpr wchar_t kImportCaption[] = L"导入文件";
inline constexpr wchar_t kSucceeded[] = L"导入成功。";
// Every file went in, but the log or the version counters failed (said after a blank line).
inline constexpr wchar_t kAllImported[] = L"文件已全部导入。";
inline constexpr wchar_t kPartlyFailedBefore[] = L"导入完成，但有 ";
inline constexpr wchar_t kPartlyFailedAfter[] = L" 项未能导入，详情请查看服务器日志。";
inline constexpr wchar_t kStopped[] = L"导入已停止，尚有文件未导入。";
// After a stop, on a line of its own: how many items were not imported.
inline constexpr wchar_t kStoppedCountBefore[] = L"有 ";
inline constexpr wchar_t kStoppedCountAfter[] = L" 项未导入，详情请查看服务器日志。";
// The database went away during the run and could not be reached again.
inline constexpr wchar_t kDatabaseLostBefore[] = L"与服务器数据库的连接已中断，导入已停止，有 ";
inline constexpr wchar_t kDatabaseLostAfter[] = L" 项未能导入，详情请查看服务器日志。";
// The database took connections but answered no statement in time (a backup's lock, a long
// table change).
inline constexpr wchar_t kNotAnsweringBefore[] =
    L"服务器数据库没有响应（可能正在备份或修改数据表），导入已停止，有 ";
inline constexpr wchar_t kNotAnsweringAfter[] = L" 项未能导入，详情请查看服务器日志。";
// The driver's message follows after a blank line.
inline constexpr wchar_t kNoDatabase[] = L"无法连接服务器数据库，未导入任何文件。";
inline constexpr wchar_t kNoStoreRoot[] = L"未能读取服务器的文件存储目录，未导入任何文件。";
// The run ended on an unexpected error; what it did is in the server log when it got that far.
inline constexpr wchar_t kRunFailed[] =
    L"导入因内部错误而中止，部分文件可能未导入，请查看服务器日志。";

// Added to an end message after a blank line: the run report's path follows this one.
inline constexpr wchar_t kReasonsIn[] = L"失败原因见：";
inline constexpr wchar_t kLogNotWritten[] = L"服务器日志未能写入，本次导入的报告行未能记录。";
inline constexpr wchar_t kVersionsNotBumped[] =
    L"服务器的文件版本号未能更新，客户端可能要重新登录后才能看到新导入的文件。";

}  // namespace ksr::msg

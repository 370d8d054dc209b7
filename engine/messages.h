#pragma once

namespace ksr::msg {

inline constexpr wchar_t kChoosePath[] = L"请选择公共文档或网络硬盘的路径";
inline constexpr wchar_t kNotOnServer[] = L"请在TavrinKSR服务端所在服务器导入!";
inline constexpr wchar_t kImportCaption[] = L"导入文件";
inline constexpr wchar_t kSucceeded[] = L"导入成功。";
inline constexpr wchar_t kPartlyFailedBefore[] = L"导入完成，但有 ";
inline constexpr wchar_t kPartlyFailedAfter[] = L" 项未能导入，详情请查看服务器日志。";
inline constexpr wchar_t kStopped[] = L"导入已停止，尚有文件未导入。";
inline constexpr wchar_t kNoDatabase[] = L"无法连接服务器数据库，未导入任何文件。";
inline constexpr wchar_t kNoStoreRoot[] = L"未能读取服务器的文件存储目录，未导入任何文件。";
// The chosen folder holds, or lies inside, a directory the import writes to; the directory
// goes between the two parts.
inline constexpr wchar_t kOverlapBefore[] = L"所选文件夹与目录“";
inline constexpr wchar_t kOverlapAfter[] = L"”重叠（服务器的文件存储目录或导入的暂存目录），不能导入。请选择其他文件夹。";
// The database went away during the run and could not be reached again.
inline constexpr wchar_t kDatabaseLostBefore[] = L"与服务器数据库的连接已中断，导入已停止，有 ";
inline constexpr wchar_t kDatabaseLostAfter[] = L" 项未能导入，详情请查看服务器日志。";
// Added to the end message after a blank line.
inline constexpr wchar_t kLogNotWritten[] = L"服务器日志未能写入，本次导入的报告行未能记录。";
inline constexpr wchar_t kVersionsNotBumped[] = L"服务器的文件版本号未能更新，客户端可能要重新登录后才能看到新导入的文件。";

inline constexpr wchar_t kFolderFailed[] = L"文件夹上传失败，请拖动到浏览器上传";
inline constexpr wchar_t kFileFailed[] = L"文件上传失败，请拖动到浏览器上传";
inline constexpr wchar_t kFolderCleaned[] = L"文件夹名称含有特殊字符串,现已去掉了特殊字符";
inline constexpr wchar_t kRootCleaned[] = L"根文件夹名称含有特殊字符,现已去掉了特殊字符";

}  // namespace ksr::msg

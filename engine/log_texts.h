#pragma once

// The texts the engine writes: the activity lines of List1 and the server's daily log, and the
// kinds and reasons of the run report. The operator's guide quotes every one of them.
namespace ksr::logtext {

// What an activity line says of its subject.
inline constexpr wchar_t kFolderFailed[] = L"文件夹上传失败，请拖动到浏览器上传";
inline constexpr wchar_t kFileFailed[] = L"文件上传失败，请拖动到浏览器上传";
// A file that was imported but whose source the operator asked to delete is still there.
inline constexpr wchar_t kSourceKept[] = L"文件已导入，但源文件未删除";
inline constexpr wchar_t kFolderCleaned[] = L"文件夹名称含有特殊字符串,现已去掉了特殊字符";
inline constexpr wchar_t kRootCleaned[] = L"根文件夹名称含有特殊字符,现已去掉了特殊字符";

// The kinds of item in the run report.
inline constexpr wchar_t kKindFile[] = L"文件未导入";
inline constexpr wchar_t kKindFolder[] = L"文件夹未导入";
inline constexpr wchar_t kKindSourceKept[] = L"文件已导入，源文件未删除";
// Passed over by rule, not a failure: listed in the run report only.
inline constexpr wchar_t kKindSkipped[] = L"已跳过";
// Imported by an earlier run, not a failure: listed in the run report only.
inline constexpr wchar_t kKindAlreadyStored[] = L"已在存储中";
// A temporary file a run that was ended left in the store, removed by a later run: in the run
// report only.
inline constexpr wchar_t kKindLeftover[] = L"已清除的临时文件";

}  // namespace ksr::logtext

// Why an item was not imported, or its source not deleted: the tool's own rules.
namespace ksr::reason {

inline constexpr wchar_t kNameNotServable[] =
    L"名称以点或空格结尾，或是设备名（如 CON、NUL），服务器无法存取，未导入";
// Longer than the server's database column for it (its name, or a file's store path).
inline constexpr wchar_t kNameTooLong[] = L"名称超出服务器数据库字段长度，未导入";
// Both followed by the store path.
inline constexpr wchar_t kStoreFileDiffers[] =
    L"存储中已有同名但内容不同的文件，未导入，源文件已保留：";
inline constexpr wchar_t kStoreEntryTaken[] =
    L"存储中同名的位置已被文件夹、链接或无法读取的文件占用，未导入，源文件已保留：";
inline constexpr wchar_t kLinkOutside[] = L"文件是链接，指向所选文件夹之外，未导入，源文件已保留";
// Followed by the level's path.
inline constexpr wchar_t kLinkInTheWay[] =
    L"存储目录或暂存目录中的这一层是链接（重分析点），没有写入：";
inline constexpr wchar_t kFileGone[] = L"文件在导入前已不存在，未导入";
inline constexpr wchar_t kAlreadyStored[] =
    L"存储中已有内容相同的文件，数据库中也已有它的记录，未重复登记";
inline constexpr wchar_t kLockBusy[] =
    L"另一个导入长时间占用服务器数据库的登记锁，未导入，请稍后再导入";
inline constexpr wchar_t kSystemFile[] = L"具有系统属性的文件（如 desktop.ini、Thumbs.db）不导入";
inline constexpr wchar_t kNotHeld[] = L"源文件无法独占打开以便删除，源文件已保留：";
inline constexpr wchar_t kNotVerified[] = L"存储副本未能写入磁盘或读回核对，源文件已保留：";
inline constexpr wchar_t kFileLink[] = L"文件是链接，已导入其指向的内容，链接本身未删除";
inline constexpr wchar_t kStoreDirectory[] = L"存储目录未能创建：";
inline constexpr wchar_t kNotDeleted[] = L"源文件未能删除：";
inline constexpr wchar_t kDatabaseLost[] = L"与服务器数据库的连接已中断";
inline constexpr wchar_t kDatabaseNotAnswering[] = L"服务器数据库没有响应";
inline constexpr wchar_t kStopped[] = L"操作员停止了导入，其余内容未导入";
inline constexpr wchar_t kListingBroken[] = L"文件夹列表中途中断，其余内容未导入：";
inline constexpr wchar_t kUnlistable[] = L"文件夹无法列出，已复制到暂存目录：";
inline constexpr wchar_t kDirectoryLink[] = L"文件夹是链接（重分析点），不导入";
inline constexpr wchar_t kFolderRowMissing[] =
    L"未能在数据库中找到该文件夹自己的记录，其下内容留待下次导入";
inline constexpr wchar_t kRootNotRegistered[] = L"所选文件夹未能登记为根文件夹：";
inline constexpr wchar_t kUnexpected[] = L"内部错误，导入已中止：";
// Follows the reason of a file not imported, then the store path: its copy could not be removed.
inline constexpr wchar_t kStoreCopyLeft[] = L"；其存储副本未能移除，留在原处：";
inline constexpr wchar_t kLeftoverRemoved[] =
    L"此前被中断的导入写到一半的副本，没有记录指向它，已删除";

}  // namespace ksr::reason

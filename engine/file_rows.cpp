#include "engine/file_rows.h"

namespace ksr {
namespace {

constexpr wchar_t kInsertFile[] =
    L"insert into PtpFile(Msg_ID,MyID,UsName,TypePath,PcSize,PtpFolderID,FilPath,To_Type,"
    L"FileState,CreatorID,CreatorName) values";
constexpr wchar_t kFileValues[] = L"(?,?,'admin',?,?,?,?,1,1,'1','admin')";
constexpr wchar_t kInsertDigest[] =
    L"insert into MD5File(MyID,FormFileType,TypePath,PcSize,FilPath,MD5Hash) values";
constexpr wchar_t kDigestValues[] = L"('1',1,?,?,?,?)";
constexpr wchar_t kFileLanded[] = L"Select count(*) as c from PtpFile where Msg_ID=?";

// A statement of `rows` rows.
std::wstring MultiRow(const wchar_t* insert, const wchar_t* values, size_t rows) {
    std::wstring sql = insert;
    for (size_t i = 0; i < rows; ++i) {
        if (i > 0) sql += L',';
        sql += values;
    }
    return sql;
}

}  // namespace

std::vector<std::wstring> FileInsertStatements(size_t rows) {
    return {MultiRow(kInsertFile, kFileValues, rows), MultiRow(kInsertDigest, kDigestValues, rows)};
}

const wchar_t* FileLandedStatement() {
    return kFileLanded;
}

}  // namespace ksr

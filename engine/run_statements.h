#pragma once

namespace ksr {

// The statements a run sends besides its folders' and files' rows.

// The store root the server keeps in its settings table.
inline constexpr wchar_t kStoreRootQuery[] =
    L"Select * from Tab_Config where Col_Name='KSR_CONSOLE' and Col_Genre='SysConfig' and "
    L"Col_Disabled=0";
// Clients that refreshed before the run learn from the counters that folders and files came.
inline constexpr wchar_t kBumpVersions[] =
    L"update UpDateForm set PtpFile_Vesr=PtpFile_Vesr+1,PtpFolder_Vesr=PtpFolder_Vesr+1 where "
    L"id=1";
// A MySQL or MariaDB server's data directory; sent to those servers only.
inline constexpr wchar_t kDataDirMySql[] = L"select @@datadir as d";

}  // namespace ksr

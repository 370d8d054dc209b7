#include "engine/importer.h"

#include <windows.h>

#include "engine/activity_log.h"
#include "engine/file_transfer.h"
#include "engine/folder_size.h"
#include "engine/messages.h"
#include "engine/names.h"
#include "server/connection_string.h"
#include "server/ini.h"
#include "server/registry.h"
#include "util/codecs.h"
#include "util/paths.h"

namespace ksr {
namespace {

constexpr wchar_t kPublicDir[] = L"DownLoad/Public";
constexpr wchar_t kPublicOwner[] = L"Public";
// Two copies at a time keep both cores busy (a large file's digest runs beside its copy).
constexpr unsigned kCopyThreads = 2;
constexpr size_t kUnitsInFlight = 32;
constexpr wchar_t kStoreRootQuery[] =
    L"Select * from Tab_Config where Col_Name='KSR_CONSOLE' and Col_Genre='SysConfig' and "
    L"Col_Disabled=0";
constexpr wchar_t kBumpVersions[] =
    L"update UpDateForm set PtpFile_Vesr=PtpFile_Vesr+1,PtpFolder_Vesr=PtpFolder_Vesr+1 where "
    L"id=1";

// The driver's own words, without the password should a driver ever quote it.
std::wstring DriverMessage(const DbError& error, const std::wstring& password) {
    std::wstring text = error.message.empty() ? L"SQLSTATE " + error.sqlstate : error.message;
    if (password.empty()) return text;
    for (size_t at = text.find(password); at != std::wstring::npos;
         at = text.find(password, at + 4)) {
        text.replace(at, password.size(), L"****");
    }
    return text;
}

}  // namespace

Importer::Importer(ImportState& state, ImportWindow& window) : state_(state), window_(window) {}

void Importer::AddLine(const std::wstring& line) {
    lines_.push_back(line);
    window_.AddList1(line);
}

void Importer::ReportFailure(const std::wstring& subject, const wchar_t* message) {
    AddLine(ActivityLine(ActivityType::FolderFailed, subject, message));
    ++failedItems_;
}

void Importer::EndRun() {
    db_.reset();
    window_.EnableCommand3(true);
    window_.SetLabel2(L"");
    label2_.clear();
    state_.DeleteAfterImport = false;
}

bool Importer::StopRequested() {
    if (!stopped_ && window_.StopRequested()) stopped_ = true;
    return stopped_;
}

void Importer::serverlog() {
    ksr::serverlog(lines_, state_.KSR_CONSOLE);
}

void Importer::importfile() {
    const std::wstring text1 = window_.Text1();
    const std::wstring text2 = window_.Text2();
    // Only Text1 is ever walked: with it empty there is nothing the operator chose to import.
    if (text1.empty()) {
        window_.ShowMessage(msg::kChoosePath, L"", MB_OK);
        state_.DeleteAfterImport = false;
        return;
    }
    std::wstring exe;
    if (!ReadRegistryString(registration_.root, registration_.subkey, registration_.value, exe)) {
        window_.ShowMessage(msg::kNotOnServer, L"", MB_OK);
        state_.DeleteAfterImport = false;
        return;
    }

    window_.SetText3(exe);
    state_.InstallDir = DirectoryPart(exe);
    if (!state_.InstallDir.empty()) state_.InstallDir.pop_back();
    state_.IniPath = state_.InstallDir + L"\\public\\Data\\DataBase.ini";
    const auto ini = [&](const wchar_t* key) {
        return ReadIniString(state_.IniPath, L"server_connection", key);
    };
    ServerSettings settings;
    settings.type = state_.DB_TYPE = ini(L"DB_TYPE");
    settings.server = ini(L"DB_SERVER");
    settings.port = ini(L"DB_PORT");
    settings.name = ini(L"DB_NAME");
    settings.user = ini(L"DB_USER");
    settings.password = ini(L"DB_PWD");
    state_.ConnString = BuildConnectionString(settings);

    // One session serves the settings and the whole walk.
    db_.emplace(state_.ConnString);
    if (auto error = db_->Open()) {
        window_.ShowMessage(
            std::wstring(msg::kNoDatabase) + L"\n\n" + DriverMessage(*error, settings.password),
            msg::kImportCaption, MB_OK | MB_ICONWARNING);
        EndRun();
        return;
    }
    const DbValue root = db_->QueryValue(kStoreRootQuery, L"Col_Data");
    if (root.value) state_.KSR_CONSOLE = ReplaceAll(*root.value, L'/', L'\\');
    db_->Execute(kBumpVersions);
    if (state_.KSR_CONSOLE.empty()) {
        window_.ShowMessage(msg::kNoStoreRoot, msg::kImportCaption, MB_OK | MB_ICONWARNING);
        EndRun();
        return;
    }

    window_.ClearList1();
    lines_.clear();
    failedItems_ = 0;
    stopped_ = false;
    label2_.clear();
    window_.EnableCommand3(false);
    state_.CopiedBytes = 0;

    const std::wstring source = PercentDecode(text1);
    state_.SourceBytesTotal.clear();
    if (const auto size = FolderSize(source)) {
        uint64_t total = *size;
        if (!text2.empty()) total += FolderSize(text2).value_or(0);
        state_.SourceBytesTotal = std::to_wstring(total);
    }

    const std::wstring rootName = LastPathSegment(source).value_or(L"");
    std::wstring rootId = L"0";
    std::wstring target = kPublicDir;
    if (window_.Check2()) {
        rootId = genfolder(source, kPublicDir, L"0", kPublicOwner);
        target = std::wstring(kPublicDir) + L"/" + CleanFolderName(rootName);
        if (rootId.empty()) {
            ReportFailure(WithSeparator(source), msg::kFolderFailed);
        }
    } else {
        state_.RootFolderName = rootName;
    }
    if (!rootId.empty()) {
        pipeline_.emplace(kCopyThreads, kUnitsInFlight);
        sosuofile(source, target, rootId, kPublicOwner);
        pipeline_.reset();  // waits for the last rows
    }

    if (stopped_) {
        // The operator stopped the run: what was left is not imported, so no success.
        window_.ShowMessage(msg::kStopped, msg::kImportCaption, MB_OK | MB_ICONWARNING);
    } else if (failedItems_ == 0) {
        window_.ShowMessage(msg::kSucceeded, msg::kImportCaption, MB_OK | MB_ICONINFORMATION);
    } else {
        window_.ShowMessage(std::wstring(msg::kPartlyFailedBefore) + std::to_wstring(failedItems_) +
                                msg::kPartlyFailedAfter,
                            msg::kImportCaption, MB_OK | MB_ICONWARNING);
    }
    serverlog();
    EndRun();
}

}  // namespace ksr

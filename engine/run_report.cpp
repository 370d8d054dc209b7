#include "engine/run_report.h"

#include <shlobj.h>

#include <algorithm>
#include <cwchar>

#include "util/dir_listing.h"
#include "util/handles.h"
#include "util/narrow.h"
#include "util/paths.h"

namespace ksr {
namespace {

std::wstring Stamp(const wchar_t* pattern, const SYSTEMTIME& t) {
    wchar_t text[32];
    swprintf(text, 32, pattern, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

// Removes the oldest reports until `keep` are left; their names sort by start time.
void Prune(const std::wstring& directory, size_t keep) {
    std::vector<std::wstring> reports;
    const std::wstring listed = WithSeparator(ExtendedFromAbsolute(directory));
    (void)ListDirectory(listed, [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.ends_with(L".csv")) {
            reports.push_back(name);
        }
        return true;
    });
    if (reports.size() <= keep) return;
    std::sort(reports.begin(), reports.end());
    for (size_t i = 0; i + keep < reports.size(); ++i) DeleteFileW((listed + reports[i]).c_str());
}

}  // namespace

std::wstring CsvField(const std::wstring& text) {
    if (text.find_first_of(L",\"\r\n") == std::wstring::npos) return text;
    std::wstring quoted = L"\"";
    for (const wchar_t c : text) {
        if (c == L'"') quoted += L'"';
        quoted += c;
    }
    return quoted + L"\"";
}

Result<std::wstring> DefaultReportDirectory() {
    unique_cotaskmem_string local;
    const HRESULT found = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, local.put());
    if (FAILED(found)) {
        return Win32Error(HRESULT_FACILITY(found) == FACILITY_WIN32 ? HRESULT_CODE(found)
                                                                    : ERROR_PATH_NOT_FOUND);
    }
    return std::wstring(local.get()) + L"\\ksrimport\\reports";
}

Result<std::wstring> WriteRunReport(const std::wstring& directory, const RunSummary& summary,
                                    const std::vector<ReportItem>& items, size_t keep) {
    if (Status made = CreateDirectoryLevels(ExtendedFromAbsolute(directory)); !made) {
        return std::move(made).error();
    }
    std::wstring text = L"开始时间,";
    text += Stamp(L"%04u-%02u-%02u %02u:%02u:%02u", summary.started) + L"\r\n";
    wchar_t seconds[32];
    swprintf(seconds, 32, L"%.1f", summary.seconds);
    text += std::wstring(L"用时（秒）,") + seconds + L"\r\n";
    text += L"导入的文件," + std::to_wstring(summary.filesImported) + L"\r\n";
    text += L"导入的文件夹," + std::to_wstring(summary.foldersImported) + L"\r\n";
    text += L"导入的字节," + std::to_wstring(summary.bytesImported) + L"\r\n";
    text += L"未导入的项目," + std::to_wstring(summary.itemsNotImported) + L"\r\n";
    // Only a run that met files imported before says so: a first import's report is as it was.
    if (summary.filesAlreadyStored > 0) {
        text += L"已在存储中的文件," + std::to_wstring(summary.filesAlreadyStored) + L"\r\n";
    }
    text += L"\r\n路径,类别,原因\r\n";
    for (const ReportItem& item : items) {
        text += CsvField(item.path) + L"," + CsvField(item.kind) + L"," + CsvField(item.reason) +
                L"\r\n";
    }
    const std::string bytes = "\xEF\xBB\xBF" + Narrow(text, CP_UTF8);

    // Two runs started within one second get a report each.
    const std::wstring stem =
        WithSeparator(directory) + Stamp(L"%04u%02u%02u-%02u%02u%02u", summary.started);
    for (int attempt = 1; attempt < 100; ++attempt) {
        const std::wstring path =
            stem + (attempt == 1 ? L"" : L"-" + std::to_wstring(attempt)) + L".csv";
        unique_hfile file(CreateFileW(ExtendedFromAbsolute(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return Win32Failure(path);
        }
        DWORD written = 0;
        const bool wrote = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                     &written, nullptr);
        if (!wrote || written != bytes.size()) {
            const Error error = wrote ? Win32Error(ERROR_WRITE_FAULT, path) : Win32Failure(path);
            file.reset();
            DeleteFileW(ExtendedFromAbsolute(path).c_str());
            return error;
        }
        file.reset();
        Prune(directory, keep);
        return path;
    }
    return Win32Error(ERROR_FILE_EXISTS, stem + L".csv");
}

}  // namespace ksr

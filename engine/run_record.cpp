#include "engine/run_record.h"

#include "engine/activity_log.h"
#include "engine/log_texts.h"
#include "engine/run_report.h"

namespace ksr {
namespace {

// The fixed text of an item's activity line.
const wchar_t* LineText(ItemKind kind) {
    switch (kind) {
        case ItemKind::FileNotImported:
            return logtext::kFileFailed;
        case ItemKind::SourceKept:
            return logtext::kSourceKept;
        case ItemKind::FolderNotImported:
        case ItemKind::Skipped:
        case ItemKind::AlreadyStored:
            break;
    }
    return logtext::kFolderFailed;
}

}  // namespace

const wchar_t* ItemKindText(ItemKind kind) {
    switch (kind) {
        case ItemKind::FileNotImported:
            return logtext::kKindFile;
        case ItemKind::SourceKept:
            return logtext::kKindSourceKept;
        case ItemKind::Skipped:
            return logtext::kKindSkipped;
        case ItemKind::AlreadyStored:
            return logtext::kKindAlreadyStored;
        case ItemKind::FolderNotImported:
            break;
    }
    return logtext::kKindFolder;
}

void RunEvents::Line(std::wstring line) {
    events_.push_back({Event::Type::Line, ItemKind::FolderNotImported, std::move(line), {}});
}

void RunEvents::Failure(std::wstring path, ItemKind kind, std::wstring reason) {
    events_.push_back({Event::Type::Failure, kind, std::move(path), std::move(reason)});
}

void RunEvents::Skipped(std::wstring path) {
    events_.push_back({Event::Type::Skipped, ItemKind::Skipped, std::move(path), {}});
}

void RunRecord::Begin() {
    window_.ClearList1();
    lines_.clear();
    failures_.clear();
    skipped_.clear();
    alreadyStored_.clear();
    leftovers_.clear();
    failedItems_ = 0;
    filesAlreadyStored_ = 0;
    filesImported_ = foldersImported_ = bytesImported_ = 0;
}

void RunRecord::Line(const std::wstring& line) {
    lines_.push_back(line);
    window_.AddList1(line);
}

void RunRecord::Failure(const std::wstring& path, ItemKind kind, const std::wstring& reason) {
    // Every failure's activity line is of the folder-failure type, whatever its subject.
    Line(ActivityLine(ActivityType::FolderFailed, path, LineText(kind)));
    failures_.push_back({path, kind, reason});
    ++failedItems_;
    window_.NotImported(failures_.back());
}

void RunRecord::NotReached(const std::wstring& folder, const std::wstring& reason) {
    Line(ActivityLine(ActivityType::FolderFailed, folder, LineText(ItemKind::FolderNotImported)));
    failures_.push_back({folder, ItemKind::FolderNotImported, reason});
    window_.NotImported(failures_.back());
}

void RunRecord::Tell(const RunEvents& events) {
    for (const RunEvents::Event& event : events.events_) {
        switch (event.type) {
            case RunEvents::Event::Type::Line:
                Line(event.text);
                break;
            case RunEvents::Event::Type::Failure:
                Failure(event.text, event.kind, event.reason);
                break;
            case RunEvents::Event::Type::Skipped:
                skipped_.push_back(event.text);
                break;
        }
    }
}

std::wstring RunRecord::WriteReport(const std::optional<std::wstring>& directory,
                                    const SYSTEMTIME& started, ULONGLONG startTick,
                                    uint64_t notReached) const {
    RunSummary summary;
    summary.started = started;
    summary.seconds = static_cast<double>(GetTickCount64() - startTick) / 1000.0;
    summary.filesImported = filesImported_;
    summary.foldersImported = foldersImported_;
    summary.bytesImported = bytesImported_;
    summary.filesAlreadyStored = filesAlreadyStored_;
    summary.itemsNotImported = failedItems_ + notReached;
    std::vector<ReportItem> items;
    items.reserve(failures_.size() + skipped_.size() + alreadyStored_.size());
    for (const RunFailure& failure : failures_) {
        items.push_back({failure.path, ItemKindText(failure.kind), failure.reason});
    }
    for (const std::wstring& path : skipped_) {
        items.push_back({path, ItemKindText(ItemKind::Skipped), reason::kSystemFile});
    }
    for (const std::wstring& path : alreadyStored_) {
        items.push_back({path, ItemKindText(ItemKind::AlreadyStored), reason::kAlreadyStored});
    }
    for (const std::wstring& path : leftovers_) {
        items.push_back({path, logtext::kKindLeftover, reason::kLeftoverRemoved});
    }
    const Result<std::wstring> folder =
        directory ? Result<std::wstring>(*directory) : DefaultReportDirectory();
    if (!folder) return {};
    return WriteRunReport(*folder, summary, items).value_or(L"");
}

}  // namespace ksr

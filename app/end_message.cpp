#include "app/end_message.h"

#include "app/message_texts.h"
#include "util/size_text.h"

namespace ksr {
namespace {

using Ending = RunOutcome::Ending;

MessageBoxText Refusal(const RunOutcome& outcome) {
    switch (outcome.refusal) {
        case RunOutcome::Refusal::NoFolderChosen:
            return {msg::kChoosePath, kAppTitle, MB_OK};
        case RunOutcome::Refusal::NotOnServer:
            return {msg::kNotOnServer, kAppTitle, MB_OK};
        case RunOutcome::Refusal::FolderOverlaps:
            return {msg::kOverlapBefore + outcome.overlap + msg::kOverlapAfter, kAppTitle, MB_OK};
        case RunOutcome::Refusal::NoRoom:
            return {msg::kNoRoomBefore + SizeText(outcome.roomNeeded) + msg::kNoRoomMiddle +
                        SizeText(outcome.roomFree) + msg::kNoRoomAfter,
                    kAppTitle, MB_OK};
    }
    return {msg::kChoosePath, kAppTitle, MB_OK};
}

// The first line of an end message, for a run that got as far as the walk.
std::wstring Summary(const RunOutcome& outcome) {
    const std::wstring count = std::to_wstring(outcome.notImported);
    switch (outcome.ending) {
        case Ending::DatabaseLost:
            return msg::kDatabaseLostBefore + count + msg::kDatabaseLostAfter;
        case Ending::DatabaseNotAnswering:
            return msg::kNotAnsweringBefore + count + msg::kNotAnsweringAfter;
        case Ending::Stopped:
            // The operator stopped the run: what was left is not imported, so no success.
            return std::wstring(msg::kStopped) + L"\n\n" + msg::kStoppedCountBefore + count +
                   msg::kStoppedCountAfter;
        case Ending::PartlyFailed:
            return msg::kPartlyFailedBefore + count + msg::kPartlyFailedAfter;
        case Ending::InternalFailure:
            // The run's own count, when it got that far, is said too.
            if (outcome.notImported == 0) return msg::kRunFailed;
            return std::wstring(msg::kRunFailed) + L"\n\n" + msg::kStoppedCountBefore + count +
                   msg::kStoppedCountAfter;
        case Ending::Succeeded:
        default:
            return outcome.logWritten && outcome.versionsBumped ? msg::kSucceeded
                                                                : msg::kAllImported;
    }
}

}  // namespace

MessageBoxText EndMessage(const RunOutcome& outcome) {
    switch (outcome.ending) {
        case Ending::Refused:
            return Refusal(outcome);
        case Ending::DatabaseUnreachable:
            return {std::wstring(msg::kNoDatabase) + L"\n\n" + outcome.driverMessage,
                    msg::kImportCaption, MB_OK | MB_ICONWARNING};
        case Ending::NoStoreRoot:
            return {msg::kNoStoreRoot, msg::kImportCaption, MB_OK | MB_ICONWARNING};
        default:
            break;
    }
    // Only a run that imported everything and told the server and its clients so succeeded.
    const bool success =
        outcome.ending == Ending::Succeeded && outcome.logWritten && outcome.versionsBumped;
    const UINT icon = success                                     ? MB_ICONINFORMATION
                      : outcome.ending == Ending::InternalFailure ? MB_ICONERROR
                                                                  : MB_ICONWARNING;
    MessageBoxText box{Summary(outcome), msg::kImportCaption, MB_OK | icon};
    if (!outcome.reportPath.empty())
        box.text += std::wstring(L"\n\n") + msg::kReasonsIn + outcome.reportPath;
    // The end message sends the operator to the log, and the clients learn of new files from
    // the version counters: either failing is said.
    if (!outcome.logWritten) box.text += std::wstring(L"\n\n") + msg::kLogNotWritten;
    if (!outcome.versionsBumped) box.text += std::wstring(L"\n\n") + msg::kVersionsNotBumped;
    return box;
}

}  // namespace ksr

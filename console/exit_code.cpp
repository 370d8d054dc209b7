#include "console/exit_code.h"

namespace ksr {

ExitCode ExitCodeOf(const RunOutcome& outcome) {
    using Ending = RunOutcome::Ending;
    switch (outcome.ending) {
        case Ending::Succeeded:
            // Every file went in, but a log or counter that failed is no success either: the
            // script that reads 0 would never look at the report.
            return outcome.logWritten && outcome.versionsBumped ? kExitImported : kExitPartly;
        case Ending::PartlyFailed:
            return kExitPartly;
        case Ending::Refused:
            return kExitRefused;
        case Ending::DatabaseUnreachable:
        case Ending::NoStoreRoot:
            return kExitNoDatabase;
        case Ending::Stopped:
        case Ending::DatabaseLost:
        case Ending::DatabaseNotAnswering:
            return kExitInterrupted;
        case Ending::InternalFailure:
            break;
    }
    return kExitInternal;
}

}  // namespace ksr

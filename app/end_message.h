#pragma once

#include <windows.h>

#include <string>

#include "engine/run_outcome.h"

namespace ksr {

// A message box as the operator sees it.
struct MessageBoxText {
    std::wstring text;
    std::wstring caption;
    UINT type = MB_OK;
};

// The message box that tells the operator how a run ended: OK only, with a warning icon for
// anything short of a full success, the information icon for one, and the error icon for an
// internal failure; refusals come under the application title without an icon.
MessageBoxText EndMessage(const RunOutcome& outcome);

}  // namespace ksr

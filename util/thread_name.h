#pragma once

namespace ksr {

// Gives the calling thread `name` for debuggers and crash dumps. Systems without
// SetThreadDescription (older Windows, older Wine) leave the thread unnamed.
void NameThisThread(const wchar_t* name);

}  // namespace ksr

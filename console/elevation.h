#pragma once

namespace ksr {

// Whether this process runs with an administrator's full token: started from an elevated
// prompt, by a scheduled task with the highest privileges, or as SYSTEM. A token that can't be
// read counts as not elevated. Called on the main thread.
[[nodiscard]] bool ProcessIsElevated();

}  // namespace ksr

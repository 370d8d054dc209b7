#include "console/elevation.h"

#include <windows.h>

#include "util/handles.h"

namespace ksr {

bool ProcessIsElevated() {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
    const unique_handle token(opened);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
        elevation.TokenIsElevated) {
        return true;
    }
    // SYSTEM's token is never filtered, whatever TokenElevation says of it.
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    return GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size) &&
           IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, WinLocalSystemSid);
}

}  // namespace ksr

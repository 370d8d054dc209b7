#include "app/dialogs.h"

#include "app/folder_picker.h"

namespace ksr {

std::wstring SystemDialogs::PickFolder(HWND owner, const std::wstring& title) {
    return ksr::PickFolder(owner, title);
}

int SystemDialogs::Ask(HWND owner, const std::wstring& text, const std::wstring& caption,
                       UINT type) {
    return MessageBoxW(owner, text.c_str(), caption.c_str(), type);
}

}  // namespace ksr

#include "app/folder_picker.h"

#include <shobjidl.h>
#include <wrl/client.h>

#include "util/handles.h"

namespace ksr {

using Microsoft::WRL::ComPtr;

std::wstring PickFolder(HWND owner, const std::wstring& title) {
    ComPtr<IFileOpenDialog> dialog;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&dialog)))) {
        return {};
    }
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    dialog->SetTitle(title.c_str());
    if (FAILED(dialog->Show(owner))) return {};  // cancelled

    ComPtr<IShellItem> item;
    if (FAILED(dialog->GetResult(&item))) return {};
    unique_cotaskmem_string path;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, path.put())) || !path) return {};
    return path.get();
}

}  // namespace ksr

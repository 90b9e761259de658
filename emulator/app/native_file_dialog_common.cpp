// NativeFileDialog: the lens file cell's dialog over whichever native dialog this platform has.
#include <memory>

#include "native_file_dialog.h"

namespace Kor::Emulator {

FileDialogResult NativeFileDialog::OpenFile(const std::string& filterName,
                                            const std::string& extension) {
    FileDialogResult result;
    char* rawPath = nullptr;
    switch (NativeDialog::OpenDialog(&rawPath, filterName.c_str(), extension.c_str())) {
        case NativeDialog::Result::Okay: {
            const std::unique_ptr<char, void (*)(char*)> path(rawPath, NativeDialog::FreePath);
            result.kind = FileDialogResult::Kind::Okay;
            result.path = path.get();
            break;
        }
        case NativeDialog::Result::Cancel: result.kind = FileDialogResult::Kind::Cancel; break;
        case NativeDialog::Result::Error:
            result.kind = FileDialogResult::Kind::Error;
            result.error = NativeDialog::GetError();
            break;
    }
    return result;
}

}  // namespace Kor::Emulator

// FileDialog: how the lens file cell asks the user for a file (the native dialog, or a
// stand-in in tests).
#pragma once

#include <string>

namespace Kor::Emulator {

struct FileDialogResult {
    enum class Kind { Okay, Cancel, Error };
    Kind kind = Kind::Cancel;
    std::string path;   // UTF-8, when kind is Okay
    std::string error;  // the dialog's error text, when kind is Error
};

class FileDialog {
public:
    FileDialog() = default;
    FileDialog(const FileDialog&) = delete;
    FileDialog& operator=(const FileDialog&) = delete;
    virtual ~FileDialog() = default;

    // Shows a modal file-open dialog offering files of one kind: `filterName` (for example
    // "Zeiss Lens Correction File") for the extension `extension` (for example "zlcf").
    virtual FileDialogResult OpenFile(const std::string& filterName,
                                      const std::string& extension) = 0;
};

}  // namespace Kor::Emulator

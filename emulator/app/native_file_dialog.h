// NativeDialog: the desktop's file-open dialog (GTK 3's file chooser, or on Windows the common
// item dialog); NativeFileDialog over it.
#pragma once

#include <string>

#include "file_dialog.h"

// Every function here runs on the main thread only (the one that calls Init), as GTK and the
// dialog's COM apartment require.
namespace Kor::Emulator::NativeDialog {

enum class Result { Okay, Cancel, Error };

// Connects the toolkit to the desktop's display. Error (with the reason in GetError) when there
// is no display to show a dialog on; the program can go on, and OpenDialog then reports Error.
// Leaves the process's locale alone, so that numbers keep their '.' in text.
Result Init();

// Shows a modal file-open dialog offering the files whose names end in "." + `extension` (in any
// letter case) under the filter `filterName`, starting in the chooser's own default place.
// Okay: *outPath holds the chosen file's path in UTF-8, to be released with FreePath.
// Cancel: the user closed the dialog without a choice. Error: see GetError. Every pending
// toolkit event has been handled on return, so the dialog is gone from the screen.
Result OpenDialog(char** outPath, const char* filterName, const char* extension);

// Releases a path returned by OpenDialog (nullptr is allowed).
void FreePath(char* path);

// The text of the last Init or OpenDialog error; empty when the last call succeeded.
const char* GetError();

// Handles what is left of the toolkit's events and ends the use of the dialog; Init may follow.
void Quit();

}  // namespace Kor::Emulator::NativeDialog

namespace Kor::Emulator {

// The lens file cell's dialog in the program: the native one above.
class NativeFileDialog final : public FileDialog {
public:
    FileDialogResult OpenFile(const std::string& filterName, const std::string& extension) override;
};

}  // namespace Kor::Emulator

// dialog_probe: opens the native file dialog once, as the lens file cell does, and prints the
// outcome, for the real-window test to drive with xdotool.
//
// Output lines: "locale <LC_NUMERIC after Init>", then "okay <path>", "cancel" or
// "error <text>"; then the probe waits for a line (or end of input) on standard input
// without touching the toolkit, so that the test can look at the screen first; then
// "after quit: <outcome>" for a dialog asked for after Quit. Exit status 3 when Init fails
// (its error text is printed as "init error <text>").
#include <clocale>
#include <cstdio>
#include <string>

#include "native_file_dialog.h"

namespace {

using Kor::Emulator::FileDialogResult;

std::string Describe(const FileDialogResult& result) {
    switch (result.kind) {
        case FileDialogResult::Kind::Okay: return "okay " + result.path;
        case FileDialogResult::Kind::Cancel: return "cancel";
        case FileDialogResult::Kind::Error: return "error " + result.error;
    }
    return "unknown";
}

}  // namespace

int main() {
    namespace NativeDialog = Kor::Emulator::NativeDialog;
    if (NativeDialog::Init() != NativeDialog::Result::Okay) {
        std::printf("init error %s\n", NativeDialog::GetError());
        return 3;
    }
    std::printf("locale %s\n", std::setlocale(LC_NUMERIC, nullptr));
    std::fflush(stdout);  // the toolkit has started: the test waits for this line

    Kor::Emulator::NativeFileDialog dialog;
    std::printf("%s\n", Describe(dialog.OpenFile("Zeiss Lens Correction File", "zlcf")).c_str());
    std::fflush(stdout);

    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
    }
    NativeDialog::Quit();
    std::printf("after quit: %s\n",
                Describe(dialog.OpenFile("Zeiss Lens Correction File", "zlcf")).c_str());
    return 0;
}

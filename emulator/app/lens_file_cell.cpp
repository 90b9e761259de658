// The lens file cell: open a lens correction file and play it, or stop its playback.
#include <imgui.h>

#include <cstdint>
#include <iostream>

#include "panels.h"

namespace Kor::Emulator {

namespace {

// Loads the chosen file and goes straight into playback: the lens-file-driven types are
// forced to the playback's pace first (unless the file is refused), and the playback sends
// to the fields' destination.
void PlayLensFile(EmulatorModel& model, const std::string& path) {
    model.transmitter.SetDestination(model.ipInput, static_cast<std::uint16_t>(model.portInput));
    model.playLensFile(path);
}

}  // namespace

void drawLensFileCell(EmulatorModel& model, FileDialog& dialog) {
    Engine::Transmitter& transmitter = model.transmitter;
    if (transmitter.lensFilePlaying) {
        // Stopping ends the playback; the forced rates come back at the next frame.
        const bool stop = ImGui::Button("Stop");
        recordWidget("Stop");
        if (stop) {
            transmitter.Stop();
        }
        return;
    }

    // Ordinary sending and a playback cannot run together.
    ImGui::BeginDisabled(transmitter.IsRunning());
    const bool open = ImGui::Button("Open file");
    recordWidget("Open file");
    ImGui::EndDisabled();
    if (!open) {
        return;
    }

    // Modal: the dialog runs inside the frame, with the model lock held.
    const FileDialogResult result = dialog.OpenFile("Zeiss Lens Correction File", "zlcf");
    switch (result.kind) {
        case FileDialogResult::Kind::Okay: PlayLensFile(model, result.path); break;
        case FileDialogResult::Kind::Cancel:
            std::cout << "User pressed cancel.\n" << std::flush;
            break;
        case FileDialogResult::Kind::Error:
            std::cerr << "Error in file dialog: " << result.error << "\n" << std::flush;
            break;
    }
}

}  // namespace Kor::Emulator

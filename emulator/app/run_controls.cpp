// Run controls: start and stop sending, the run status, the send delay and the simulation.
#include <imgui.h>

#include <cstdint>
#include <string>

#include "panels.h"

namespace Kor::Emulator {

void drawRunControls(EmulatorModel& model) {
    Engine::Transmitter& transmitter = model.transmitter;
    const char spinner = spinnerAt(ImGui::GetTime());

    if (transmitter.IsRunning()) {
        const bool stop = ImGui::Button("Stop");
        recordWidget("Stop");
        if (stop) {
            transmitter.Stop();
        }
        ImGui::SameLine();
        const std::string status =
            transmitter.lensFilePlaying
                ? formatText("Sending frame %d/%d %c", transmitter.lensFramesSent.load(),
                             transmitter.lensClipDurationFrames, spinner)
                : formatText("Running %c", spinner);
        ImGui::Text("%s", status.c_str());
        recordWidget(status);
    } else {
        const bool start = ImGui::Button("Start");
        recordWidget("Start");
        if (start) {
            // The fields count even when "Set" was never pressed.
            transmitter.SetDestination(model.ipInput, static_cast<std::uint16_t>(model.portInput));
            transmitter.Start();
        }
    }

    // delayMs is read by the sender thread without the lock: edit a copy, store it back.
    const std::int32_t delayBefore = transmitter.delayMs.load();
    std::int32_t delay = delayBefore;
    ImGui::SetNextItemWidth(50.0F);
    ImGui::InputInt("Delay [ms]", &delay, 0, 0);
    recordWidget("Delay [ms]");
    if (delay < 0) {
        delay = 0;
    }
    if (delay != delayBefore) {
        transmitter.delayMs.store(delay);
    }

    if (model.simulationRunning()) {
        const bool stop = ImGui::Button("Stop Simulation");
        recordWidget("Stop Simulation");
        if (stop && model.simulationRunning()) {
            model.stopSimulation();
        }
        ImGui::SameLine();
        const std::string status = formatText("Simulating %c", spinner);
        ImGui::Text("%s", status.c_str());
        recordWidget(status);
    } else {
        const bool start = ImGui::Button("Start Simulation");
        recordWidget("Start Simulation");
        if (start && !model.simulationRunning()) {
            model.startSimulation();
        }
    }
}

}  // namespace Kor::Emulator

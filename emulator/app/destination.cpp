// Destination panel: IP and port fields, the buttons that apply them, transmission type.
#include <imgui.h>
#include <imgui_stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "panels.h"

namespace Kor::Emulator {

namespace {

constexpr std::int32_t kDefaultPort = 33322;

void ApplyDestination(EmulatorModel& model) {
    model.transmitter.SetDestination(model.ipInput, static_cast<std::uint16_t>(model.portInput));
}

}  // namespace

std::string normaliseIp(const std::string& text) {
    // Every '.' ends a part, so "" is one empty part and "1." two.
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == '.') {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    std::string result;
    for (std::size_t position = 0; position < 4; ++position) {
        int number = 0;
        if (position < parts.size()) {
            // Read as a stream reads an int: no number gives 0, an overflow the int limit.
            std::istringstream in(parts[position]);
            in >> number;
        }
        if (position > 0) {
            result.push_back('.');
        }
        result += std::to_string(std::clamp(number, 0, 255));
    }
    return result;
}

void drawDestination(EmulatorModel& model) {
    Engine::Transmitter& transmitter = model.transmitter;

    ImGui::Text("Destination IP Address and Port");

    ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x * 0.5F);
    const bool ipEdited = ImGui::InputText("IP", &model.ipInput, ImGuiInputTextFlags_CharsDecimal);
    recordWidget("IP");
    if (ipEdited) {
        model.ipInput = normaliseIp(model.ipInput);
    }
    ImGui::SameLine();

    // Ports 1..65535 are valid; anything else falls back to the default and the field is
    // shown in red for the one frame in which that happened.
    const bool portReset = static_cast<std::uint32_t>(model.portInput) - 1U > 65534U;
    if (portReset) {
        model.portInput = kDefaultPort;
        ImGui::PushStyleColor(ImGuiCol_Text, ImVec4(1.0F, 0.0F, 0.0F, 1.0F));
    }
    ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x * 0.5F);
    ImGui::InputInt("Port", &model.portInput, 0, 0);
    recordWidget("Port");
    if (portReset) {
        ImGui::PopStyleColor();
    }

    ImGui::SameLine();
    const bool set = ImGui::Button("Set");
    recordWidget("Set");
    if (set) {
        ApplyDestination(model);
    }

    const bool setLocal = ImGui::Button("Set Local Machine");
    recordWidget("Set Local Machine");
    if (setLocal) {
        model.ipInput = "127.0.0.1";
        ApplyDestination(model);
    }
    if (transmitter.IsRunning()) {
        ImGui::SameLine();
        const Engine::Destination destination = transmitter.GetDestination();
        const std::string status = formatText("Sending to %s:%d", destination.address.c_str(),
                                              static_cast<int>(destination.port));
        ImGui::Text("%s", status.c_str());
        recordWidget(status);
    }

    ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x * 0.3F);
    const bool typeChanged = ImGui::Combo("Transmission type", &model.transmissionTypeChoice,
                                          model.transmissionTypeItems.c_str());
    recordWidget("Transmission type");
    if (typeChanged) {
        transmitter.transmissionType =
            static_cast<Protocol::TransmissionType>(model.transmissionTypeChoice);
    }
}

}  // namespace Kor::Emulator

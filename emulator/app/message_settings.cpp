// The "Message settings" panel: which message types are sent, at which rate, and how.
#include <imgui.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "panels.h"

namespace Kor::Emulator {

namespace {

std::size_t Index(MessageType type) {
    return static_cast<std::size_t>(type);
}

void SeparatorRow() {
    ImGui::TableNextRow();
    ImGui::TableNextColumn();
    ImGui::Separator();
    ImGui::TableNextColumn();
    ImGui::Separator();
}

void SetAllListed(EmulatorModel& model, std::uint8_t enabled) {
    for (const MessageType type : model.messageOrder) {
        model.messageEnabled[Index(type)] = enabled;
    }
}

// The rate combo of one row. The hidden label "##<type value>" keeps the rows apart,
// although they all show the same items.
void DrawRateCell(EmulatorModel& model, MessageType type, bool lensFilePlaying) {
    const bool locked = lensFilePlaying && model.lensFileDrivenTypes.contains(type);
    ImGui::BeginDisabled(locked);
    const std::string label = "##" + formatNumber(static_cast<float>(type));
    ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x);
    std::int32_t& rate = model.messageRate[Index(type)];
    if (model.everyPacketCapableTypes.contains(type)) {
        ImGui::Combo(label.c_str(), &rate, model.rateItemsEveryPacket.c_str());
        recordWidget(label);
    } else if (model.everyPacketOnlyTypes.contains(type)) {
        // Always "Every packet": the combo shows it and cannot be opened.
        ImGui::BeginDisabled();
        int fixedChoice = 0;
        ImGui::Combo(label.c_str(), &fixedChoice, model.everyPacketItems.c_str());
        recordWidget(label);
        ImGui::EndDisabled();
    } else {
        ImGui::Combo(label.c_str(), &rate, model.rateItems.c_str());
        recordWidget(label);
    }
    ImGui::EndDisabled();
}

}  // namespace

void drawMessageSettings(EmulatorModel& model, FileDialog& dialog) {
    Engine::Transmitter& transmitter = model.transmitter;
    // Read once, so that the whole table shows one state of the playback.
    const bool lensFilePlaying = transmitter.lensFilePlaying;

    ImGui::Checkbox("Send record flag", &transmitter.liveState.recordFlag);
    recordWidget("Send record flag");
    ImGui::Separator();

    const bool enableAll = ImGui::Button("Enable All");
    recordWidget("Enable All");
    if (enableAll) {
        SetAllListed(model, 1);
    }
    ImGui::SameLine();
    const bool disableAll = ImGui::Button("Disable All");
    recordWidget("Disable All");
    if (disableAll) {
        SetAllListed(model, 0);
    }

    if (ImGui::BeginTable("MessageTypesTable", 2)) {
        ImGui::TableNextRow();
        ImGui::TableNextColumn();
        ImGui::Text("Message Type");
        ImGui::TableNextColumn();
        ImGui::Text("Frequency");
        SeparatorRow();

        for (const MessageType type : model.messageOrder) {
            if (model.groupStartTypes.contains(type)) {
                SeparatorRow();
            }
            ImGui::TableNextRow();
            ImGui::TableNextColumn();
            const std::string name(Protocol::Name(type));
            bool enabled = model.messageEnabled[Index(type)] != 0;
            if (ImGui::Checkbox(name.c_str(), &enabled)) {
                model.messageEnabled[Index(type)] = enabled ? 1 : 0;
            }
            recordWidget(name);
            ImGui::TableNextColumn();
            if (type == MessageType::ZeissZdData) {
                drawLensFileCell(model, dialog);
            } else {
                DrawRateCell(model, type, lensFilePlaying);
            }
        }
        ImGui::EndTable();
    }

    ImGui::PushTextWrapPos(static_cast<float>(model.settingsPanelWidth));
    if (transmitter.lensFilePlaying) {
        const std::string fileLine = formatText("Zeiss file: %s", transmitter.lensFileName.c_str());
        ImGui::TextWrapped("%s", fileLine.c_str());
        recordWidget(fileLine);
    }
    ImGui::PopTextWrapPos();

    // Every frame, changed or not: the schedule always follows what the table shows.
    model.rebuildSchedule();
}

}  // namespace Kor::Emulator

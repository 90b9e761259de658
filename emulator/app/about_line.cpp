// The about line: program and library versions, and the product's web address to copy.
#include <imgui.h>
#include <imgui_stdlib.h>

#include <string>

#include <kor/version.h>

#include "panels.h"

namespace Kor::Emulator {

namespace {

std::string JoinVersion(int major, int minor, int patch) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

}  // namespace

void drawAboutLine(EmulatorModel& model) {
    const std::string about =
        "Kor Emulator " + JoinVersion(kVersionMajor, kVersionMinor, kVersionPatch) + "  |  " +
        "Kor Library " +
        JoinVersion(KORLIB_VERSION_MAJOR, KORLIB_VERSION_MINOR, KORLIB_VERSION_PATCH) + "  |";
    ImGui::AlignTextToFramePadding();
    ImGui::Text("%s", about.c_str());
    recordWidget(about);

    // A read-only field without a background: it reads like plain text, yet the address
    // can be selected and copied.
    ImGui::SameLine();
    ImGui::PushStyleColor(ImGuiCol_FrameBg, ImVec4(0.0F, 0.0F, 0.0F, 0.0F));
    ImGui::InputText("##link", &model.productLink,
                     ImGuiInputTextFlags_ReadOnly | ImGuiInputTextFlags_AutoSelectAll);
    recordWidget("##link");
    ImGui::PopStyleColor();
}

}  // namespace Kor::Emulator

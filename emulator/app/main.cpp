// KorEmulator: the program's entry; one SDL/OpenGL window that draws the control window.
#define SDL_MAIN_HANDLED  // main is ours; SDL_SetMainReady below says so
#include <GL/glew.h>
#include <SDL.h>
#include <backends/imgui_impl_opengl3.h>
#include <backends/imgui_impl_sdl.h>
#include <imgui.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "console_stop.h"
#include "emulator_model.h"
#include "native_file_dialog.h"
#include "panels.h"
#include "utf8.h"

namespace {

constexpr int kWindowX = 20;
constexpr int kWindowY = 40;
constexpr int kWindowWidth = 900;
constexpr int kWindowHeight = 950;
constexpr auto kMinimisedPause = std::chrono::milliseconds(16);

constexpr const char* kSendWithoutWindow =
    "to send without a window, use kor-send (see kor-send --help).";

// The value of an environment variable, or nullptr when it is unset or empty.
const char* Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The display SDL would open the window on, or nullptr when none is named.
const char* NamedDisplay() {
    const char* x11 = Setting("DISPLAY");
    return x11 != nullptr ? x11 : Setting("WAYLAND_DISPLAY");
}

// When no display can be reached, SDL quietly falls back to a video driver that draws
// nowhere; the window would exist only in memory and the OpenGL set-up would fail later with
// a message that hides the cause. A driver chosen with SDL_VIDEODRIVER is taken as asked.
bool WindowlessVideoDriver() {
    if (Setting("SDL_VIDEODRIVER") != nullptr) {
        return false;
    }
    const char* driver = SDL_GetCurrentVideoDriver();
    return driver == nullptr || std::strcmp(driver, "offscreen") == 0 ||
           std::strcmp(driver, "dummy") == 0 || std::strcmp(driver, "evdev") == 0;
}

// Console lines are flushed as they are written, so that a file or a pipe the console goes
// to has them while the program runs, not only at its end.
void PrintGlString(const char* label, GLenum name) {
    const auto* text = reinterpret_cast<const char*>(glGetString(name));
    std::printf("%s%s\n", label, text != nullptr ? text : "");
    std::fflush(stdout);
}

void PrintFailure(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Whether the console asked the program to end: on Windows Ctrl-C, Ctrl-Break or closing
// the console window, which would otherwise end the process at once, without the teardown.
// (Elsewhere SDL turns SIGINT and SIGTERM into a quit event itself.)
bool ConsoleAskedToEnd() {
#ifdef _WIN32
    return Kor::Platform::ConsoleStopRequest() != 0;
#else
    return false;
#endif
}

int Run();

}  // namespace

int main() {
    const Kor::Platform::Utf8Console console;  // paths in the console lines are UTF-8
#ifdef _WIN32
    Kor::Platform::InstallConsoleStopHandler();
#endif
    const int status = Run();
    // The model is gone, its socket closed: a closing console may end the process now.
    Kor::Platform::ConsoleStopHandled();
    return status;
}

namespace {

int Run() {
    // Without a display there is nothing to open a window on; saying so before the model is
    // made keeps it to one line (the model would open the UDP socket only to close it again).
#ifndef _WIN32  // a Windows session always has its desktop
    if (NamedDisplay() == nullptr && Setting("SDL_VIDEODRIVER") == nullptr) {
        std::fprintf(stderr, "KorEmulator: no display to open a window on; %s\n",
                     kSendWithoutWindow);
        return -1;
    }
#endif

    Kor::Emulator::EmulatorModel model;
    model.windowWidth = kWindowWidth;
    model.windowHeight = kWindowHeight;

    SDL_SetMainReady();
    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO) != 0) {
        PrintFailure("Couldn't initialize SDL!");
        return -1;
    }
    if (WindowlessVideoDriver()) {
        const char* display = NamedDisplay();
        std::fprintf(stderr,
                     "KorEmulator: no display to open a window on (\"%s\" cannot be "
                     "reached); %s\n",
                     display != nullptr ? display : "", kSendWithoutWindow);
        SDL_Quit();
        return -1;
    }
    SDL_Window* window =
        SDL_CreateWindow("KorEmulator", kWindowX, kWindowY, kWindowWidth, kWindowHeight,
                         SDL_WINDOW_OPENGL | SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
    SDL_GLContext context = SDL_GL_CreateContext(window);
    if (glewInit() != GLEW_OK) {
        PrintFailure("Couldn't initialize GLEW!");
        return -1;
    }
    PrintGlString("GL Renderer  : ", GL_RENDERER);
    PrintGlString("GL Version   : ", GL_VERSION);
    PrintGlString("GLSL Version : ", GL_SHADING_LANGUAGE_VERSION);

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGui::StyleColorsDark();
    ImGui_ImplSDL2_InitForOpenGL(window, context);
    ImGui_ImplOpenGL3_Init("#version 150");
    // Without a dialog the program still runs; opening a file then reports why in the console.
    Kor::Emulator::NativeDialog::Init();
    Kor::Emulator::NativeFileDialog dialog;
    glViewport(0, 0, kWindowWidth, kWindowHeight);
    glClearColor(0.0F, 0.0F, 0.0F, 1.0F);

    bool running = true;
    while (running) {
        if (ConsoleAskedToEnd()) {
            running = false;  // as a close request: this pass still draws its frame
        }
        SDL_Event event;
        while (SDL_PollEvent(&event) != 0) {
            ImGui_ImplSDL2_ProcessEvent(&event);
            if (event.type == SDL_QUIT) {
                running = false;  // this pass still draws its frame
            } else if (event.type == SDL_WINDOWEVENT &&
                       event.window.event == SDL_WINDOWEVENT_RESIZED) {
                glViewport(0, 0, event.window.data1, event.window.data2);
                model.windowWidth = event.window.data1;
                model.windowHeight = event.window.data2;
            }
        }
        glClear(GL_COLOR_BUFFER_BIT);
        ImGui_ImplOpenGL3_NewFrame();
        ImGui_ImplSDL2_NewFrame();
        ImGui::NewFrame();
        Kor::Emulator::drawControlWindow(model, dialog);
        ImGui::Render();
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
        SDL_GL_SwapWindow(window);
        if ((SDL_GetWindowFlags(window) & SDL_WINDOW_MINIMIZED) != 0) {
            std::this_thread::sleep_until(std::chrono::steady_clock::now() + kMinimisedPause);
        }
    }

    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplSDL2_Shutdown();
    ImGui::DestroyContext();
    Kor::Emulator::NativeDialog::Quit();
    SDL_GL_DeleteContext(context);
    SDL_DestroyWindow(window);
    SDL_Quit();
    return 0;  // the model goes last: it stops any run and closes the socket
}

}  // namespace

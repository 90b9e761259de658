// close_window: asks an X window to close, the way a window manager's close button does.
//
// Usage: close_window WINDOW_ID (decimal, or hexadecimal with 0x, as xdotool prints it).
// Sends the window a WM_DELETE_WINDOW client message, which needs no window manager.
// Exit status: 0 sent; 1 bad usage, no display, or no such window (Xlib's default error
// handler ends the program on BadWindow).
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    char* end = nullptr;
    const unsigned long id = argc == 2 ? std::strtoul(argv[1], &end, 0) : 0;
    if (id == 0 || *end != '\0') {
        std::fputs("usage: close_window WINDOW_ID\n", stderr);
        return 1;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fputs("close_window: cannot open the display\n", stderr);
        return 1;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = id;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, id, False, NoEventMask, &event);
    XSync(display, False);  // a missing window is reported here
    XCloseDisplay(display);
    std::printf("close_window: asked window %s to close\n", argv[1]);
    return 0;
}

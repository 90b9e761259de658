// close_window: asks an X window to close, the way a window manager's close button does.
//
// Usage: close_window WINDOW_ID (decimal, or hexadecimal with 0x, as xdotool and xwininfo
// print it). Sends the window a WM_DELETE_WINDOW client message, which needs no window
// manager. Exit status: 0 sent; 1 bad usage or no display; 2 no such window; 3 the window
// does not take close requests.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

bool windowMissing = false;

int NoteError(Display* /*display*/, XErrorEvent* error) {
    if (error->error_code == BadWindow) {
        windowMissing = true;
    }
    return 0;
}

bool TakesCloseRequests(Display* display, Window window, Atom deleteWindow) {
    Atom* protocols = nullptr;
    int count = 0;
    bool found = false;
    if (XGetWMProtocols(display, window, &protocols, &count) != 0) {
        for (int i = 0; i < count; ++i) {
            found = found || protocols[i] == deleteWindow;
        }
        XFree(protocols);
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: close_window WINDOW_ID\n", stderr);
        return 1;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long id = std::strtoul(argv[1], &end, 0);
    if (errno != 0 || end == argv[1] || *end != '\0' || id == 0) {
        std::fprintf(stderr, "close_window: not a window id: %s\n", argv[1]);
        return 1;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fputs("close_window: cannot open the display\n", stderr);
        return 1;
    }
    XSetErrorHandler(NoteError);

    const Window window = id;
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    const bool takesClose = TakesCloseRequests(display, window, deleteWindow);
    XSync(display, False);
    if (windowMissing) {
        std::fprintf(stderr, "close_window: no window %s\n", argv[1]);
        XCloseDisplay(display);
        return 2;
    }
    if (!takesClose) {
        std::fprintf(stderr, "close_window: window %s does not take close requests\n", argv[1]);
        XCloseDisplay(display);
        return 3;
    }

    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(deleteWindow);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    const bool sent = !windowMissing;
    XCloseDisplay(display);
    if (!sent) {
        std::fprintf(stderr, "close_window: window %s went away\n", argv[1]);
        return 2;
    }
    std::printf("close_window: asked window %s to close\n", argv[1]);
    return 0;
}

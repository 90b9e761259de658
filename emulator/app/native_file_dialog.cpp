// NativeDialog over GTK 3's file chooser, and NativeFileDialog, the FileDialog that uses it.
#include "native_file_dialog.h"

#include <gtk/gtk.h>

#include <cctype>
#include <memory>
#include <string>
#include <utility>

namespace Kor::Emulator::NativeDialog {

namespace {

// Main thread only, like the toolkit itself.
bool toolkitStarted = false;  // gtk_init_check succeeded once; GTK cannot be shut down again
bool dialogsOpen = false;     // between a successful Init and Quit
std::string lastError;

Result Fail(std::string text) {
    lastError = std::move(text);
    return Result::Error;
}

// Lets the toolkit handle everything it has queued: without this, a dialog that has just been
// destroyed stays on the screen until the toolkit's next turn, which in this program never
// comes by itself (the frame loop is SDL's, not GTK's).
void HandlePendingEvents() {
    while (gtk_events_pending() != FALSE) {
        gtk_main_iteration();
    }
}

// "zlcf" gives "*.[zZ][lL][cC][fF]": the toolkit matches names case-sensitively, and files made
// elsewhere often carry their extension in capitals. Characters that mean something in a
// pattern are put in brackets so that they match only themselves.
std::string CaseInsensitivePattern(const char* extension) {
    std::string pattern = "*.";
    for (const char* c = extension; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (std::isalpha(byte) != 0) {
            pattern += '[';
            pattern += static_cast<char>(std::tolower(byte));
            pattern += static_cast<char>(std::toupper(byte));
            pattern += ']';
        } else if (*c == '*' || *c == '?' || *c == '[' || *c == ']') {
            pattern += '[';
            pattern += *c;
            pattern += ']';
        } else {
            pattern += *c;
        }
    }
    return pattern;
}

struct GFreeDeleter {
    void operator()(gchar* text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

}  // namespace

Result Init() {
    lastError.clear();
    if (!toolkitStarted) {
        // The toolkit would otherwise switch the whole process to the user's locale, and
        // numbers would be written and read with a decimal comma in some of them.
        gtk_disable_setlocale();
        if (gtk_init_check(nullptr, nullptr) == FALSE) {
            return Fail("no display to show a file dialog on (GTK could not be initialised)");
        }
        toolkitStarted = true;
    }
    dialogsOpen = true;
    return Result::Okay;
}

Result OpenDialog(char** outPath, const char* filterName, const char* extension) {
    *outPath = nullptr;
    lastError.clear();
    if (!dialogsOpen) {
        return Fail(toolkitStarted ? "the file dialog is closed"
                                   : "no display to show a file dialog on");
    }

    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        "Open File", nullptr, GTK_FILE_CHOOSER_ACTION_OPEN, "_Open", "_Cancel");
    GtkNativeDialog* dialog = GTK_NATIVE_DIALOG(chooser);
    GtkFileChooser* fileChooser = GTK_FILE_CHOOSER(chooser);
    gtk_native_dialog_set_modal(dialog, TRUE);
    gtk_file_chooser_set_local_only(fileChooser, TRUE);
    gtk_file_chooser_set_select_multiple(fileChooser, FALSE);

    const std::string pattern = CaseInsensitivePattern(extension);
    const std::string shownName = std::string(filterName) + " (*." + extension + ")";
    GtkFileFilter* filter = gtk_file_filter_new();  // the chooser takes it over
    gtk_file_filter_set_name(filter, shownName.c_str());
    gtk_file_filter_add_pattern(filter, pattern.c_str());
    gtk_file_chooser_add_filter(fileChooser, filter);

    Result result = Result::Cancel;
    if (gtk_native_dialog_run(dialog) == GTK_RESPONSE_ACCEPT) {
        const GText fileName(gtk_file_chooser_get_filename(fileChooser));
        if (!fileName) {
            result = Fail("the chosen file is not on a local disk");
        } else {
            GError* error = nullptr;
            gchar* utf8 = g_filename_to_utf8(fileName.get(), -1, nullptr, nullptr, &error);
            if (utf8 == nullptr) {
                result = Fail(std::string("the chosen file's name is not valid text: ") +
                              (error != nullptr ? error->message : "unknown encoding"));
                g_clear_error(&error);
            } else {
                *outPath = utf8;
                result = Result::Okay;
            }
        }
    }
    gtk_native_dialog_destroy(dialog);
    g_object_unref(chooser);
    HandlePendingEvents();
    return result;
}

void FreePath(char* path) {
    g_free(path);
}

const char* GetError() {
    return lastError.c_str();
}

void Quit() {
    if (dialogsOpen) {
        HandlePendingEvents();
        dialogsOpen = false;
    }
}

}  // namespace Kor::Emulator::NativeDialog

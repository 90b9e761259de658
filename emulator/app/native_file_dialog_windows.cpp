// NativeDialog over the Windows common item dialog (IFileOpenDialog, COM), and
// NativeFileDialog, the FileDialog that uses it.
#include "native_file_dialog.h"

#include <windows.h>
#include <shobjidl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace Kor::Emulator::NativeDialog {

namespace {

// Main thread only, the thread whose COM apartment the dialog lives in.
bool comStarted = false;   // CoInitializeEx succeeded; CoUninitialize is owed
bool dialogsOpen = false;  // between a successful Init and Quit
std::string lastError;

Result Fail(std::string text) {
    lastError = std::move(text);
    return Result::Error;
}

std::string HresultText(const char* what, HRESULT result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
    return std::string(what) + " failed (" + code + ")";
}

std::wstring Wide(const char* utf8) {
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), length);
    text.resize(static_cast<std::size_t>(length - 1));
    return text;
}

// The UTF-8 form of a wide string in memory from malloc, for FreePath; nullptr on failure.
char* NarrowCopy(const wchar_t* wide) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return nullptr;
    }
    auto* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(length)));
    if (text != nullptr) {
        ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, length, nullptr, nullptr);
    }
    return text;
}

// Releases a COM interface when it goes out of scope.
template <typename T>
struct ComReleaser {
    void operator()(T* object) const { object->Release(); }
};
template <typename T>
using ComPtr = std::unique_ptr<T, ComReleaser<T>>;

struct CoTaskText {
    wchar_t* text = nullptr;
    ~CoTaskText() { ::CoTaskMemFree(text); }
};

}  // namespace

Result Init() {
    lastError.clear();
    if (!comStarted) {
        // The dialog is a COM object of the calling thread's single-threaded apartment.
        const HRESULT started =
            ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        if (FAILED(started)) {
            return Fail(HresultText("starting COM for the file dialog", started));
        }
        comStarted = true;
    }
    dialogsOpen = true;
    return Result::Okay;
}

Result OpenDialog(char** outPath, const char* filterName, const char* extension) {
    *outPath = nullptr;
    lastError.clear();
    if (!dialogsOpen) {
        return Fail(comStarted ? "the file dialog is closed" : "the file dialog is not set up");
    }

    IFileOpenDialog* raw = nullptr;
    HRESULT result = ::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IFileOpenDialog, reinterpret_cast<void**>(&raw));
    if (FAILED(result) || raw == nullptr) {
        return Fail(HresultText("creating the file dialog", result));
    }
    const ComPtr<IFileOpenDialog> dialog(raw);

    // One filter; Windows matches the pattern in any letter case.
    const std::wstring shownName =
        Wide((std::string(filterName) + " (*." + extension + ")").c_str());
    const std::wstring pattern = Wide((std::string("*.") + extension).c_str());
    const COMDLG_FILTERSPEC filter{shownName.c_str(), pattern.c_str()};
    DWORD options = 0;
    if (FAILED(result = dialog->SetFileTypes(1, &filter)) ||
        FAILED(result = dialog->SetFileTypeIndex(1)) ||
        FAILED(result = dialog->GetOptions(&options)) ||
        FAILED(result = dialog->SetOptions(options | FOS_FORCEFILESYSTEM | FOS_FILEMUSTEXIST |
                                           FOS_PATHMUSTEXIST)) ||
        FAILED(result = dialog->SetTitle(L"Open File"))) {
        return Fail(HresultText("setting up the file dialog", result));
    }

    // Modal to the program's window.
    result = dialog->Show(::GetActiveWindow());
    if (result == HRESULT_FROM_WIN32(ERROR_CANCELLED)) {
        return Result::Cancel;
    }
    if (FAILED(result)) {
        return Fail(HresultText("showing the file dialog", result));
    }
    IShellItem* rawItem = nullptr;
    if (FAILED(result = dialog->GetResult(&rawItem)) || rawItem == nullptr) {
        return Fail(HresultText("reading the chosen file", result));
    }
    const ComPtr<IShellItem> item(rawItem);
    CoTaskText path;
    if (FAILED(result = item->GetDisplayName(SIGDN_FILESYSPATH, &path.text)) ||
        path.text == nullptr) {
        return Fail("the chosen file is not on a local disk");
    }
    *outPath = NarrowCopy(path.text);
    if (*outPath == nullptr) {
        return Fail("the chosen file's name is not valid text");
    }
    return Result::Okay;
}

void FreePath(char* path) {
    std::free(path);
}

const char* GetError() {
    return lastError.c_str();
}

void Quit() {
    dialogsOpen = false;
    if (comStarted) {
        ::CoUninitialize();
        comStarted = false;
    }
}

}  // namespace Kor::Emulator::NativeDialog

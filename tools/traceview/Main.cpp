// traceview: the trace viewer. Shows a (hidden) window of the viewer class, receives the trace
// records that traced programs send to it, checks them, and prints each line with its level and
// component to the console or to a file. Ends on WM_CLOSE, Ctrl+C, a timeout or a line count.
#include "Private/Windows/TalvenWindows.h"
#include "Private/Windows/Win32Handle.h"
#include "support/ByteString.h"
#include "support/Trace.h"

#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

namespace Layout = UTrace::ViewerRecord;

const char Usage[] =
    "usage: traceview [-o FILE] [--append] [--timeout MS] [--count N]\n"
    "       traceview --stop\n"
    "\n"
    "Receives the lines of traced programs and prints them as\n"
    "  [level] component (value N): text\n"
    "\n"
    "  -o, --output FILE  write the lines to FILE (replaced) instead of the console\n"
    "  --append           add to FILE instead of replacing it\n"
    "  --timeout MS       end after MS milliseconds\n"
    "  --count N          end after N lines\n"
    "  --stop             tell the running viewer to end, then end\n"
    "  -h, --help         show this text\n";

struct Options {
    std::wstring output;
    bool append = false;
    DWORD timeout = 0;       // 0: none
    std::uint64_t count = 0; // 0: no limit
    bool stop = false;
    bool help = false;
};

struct Record {
    std::uint32_t level;
    std::int32_t value;
    bool hasValue;
    std::string component;
    std::string text;
};

std::uint32_t GetU32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// Checks a WM_COPYDATA payload against the record layout; on success fills record, otherwise
// says why in reason. Every length comes from cbData, never from the sender's fields alone.
bool Parse(const COPYDATASTRUCT& data, Record& record, const char*& reason) {
    if (data.dwData != Layout::Magic) {
        reason = "wrong dwData";
        return false;
    }
    if (data.lpData == nullptr || data.cbData < Layout::HeaderSize ||
        data.cbData > Layout::MaxSize) {
        reason = "size out of range";
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data.lpData);
    if (GetU32(bytes + Layout::OffsetSize) != data.cbData) {
        reason = "size field differs from the bytes received";
        return false;
    }
    if (GetU32(bytes + Layout::OffsetMagic) != Layout::Magic) {
        reason = "wrong magic";
        return false;
    }
    const unsigned char hasValue = bytes[Layout::OffsetHasValue];
    if (hasValue > 1) {
        reason = "hasValue is neither 0 nor 1";
        return false;
    }
    const auto* component = reinterpret_cast<const char*>(bytes + Layout::OffsetComponent);
    const void* componentEnd = std::memchr(component, '\0', Layout::ComponentSize);
    if (componentEnd == nullptr) {
        reason = "component not terminated";
        return false;
    }
    const auto* text = reinterpret_cast<const char*>(bytes + Layout::OffsetText);
    const std::size_t textLength = data.cbData - Layout::HeaderSize;
    if (text[textLength] != '\0' || std::memchr(text, '\0', textLength) != nullptr) {
        reason = "text length differs from the size";
        return false;
    }
    record.level = GetU32(bytes + Layout::OffsetLevel);
    record.value = static_cast<std::int32_t>(GetU32(bytes + Layout::OffsetValue));
    record.hasValue = hasValue == 1;
    record.component.assign(component, static_cast<const char*>(componentEnd));
    record.text.assign(text, textLength);
    return true;
}

std::string Format(const Record& record) {
    std::string line = "[" + std::to_string(record.level) + "] ";
    line += record.component;
    if (record.hasValue) {
        line += record.component.empty() ? "(value " : " (value ";
        line += std::to_string(record.value) + ")";
    }
    if (!line.empty() && line.back() != ' ') {
        line += ": ";
    }
    line += record.text;
    line += "\r\n";
    return line;
}

// Where the lines go: a console (written as UTF-16 so the ANSI text shows as it was meant),
// or the bytes unchanged to a file or a redirected standard output.
class Output {
public:
    bool Open(const Options& options) {
        if (options.output.empty()) {
            handle_ = ::GetStdHandle(STD_OUTPUT_HANDLE);
            DWORD mode = 0;
            console_ = ::GetConsoleMode(handle_, &mode) != FALSE;
            return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
        }
        file_.Reset(::CreateFileW(options.output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  options.append ? OPEN_ALWAYS : CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            return false;
        }
        if (options.append) {
            ::SetFilePointer(file_.Get(), 0, nullptr, FILE_END);
        }
        handle_ = file_.Get();
        return true;
    }

    // Unbuffered: a line is in the file as soon as it has arrived.
    void Write(const std::string& line) {
        if (console_) {
            const std::wstring wide = TextConvert::AnsiToWide(line);
            DWORD written = 0;
            ::WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &written,
                            nullptr);
            return;
        }
        std::size_t done = 0;
        while (done < line.size()) {
            DWORD written = 0;
            if (!::WriteFile(handle_, line.data() + done, static_cast<DWORD>(line.size() - done),
                             &written, nullptr) ||
                written == 0) {
                return;
            }
            done += written;
        }
    }

private:
    Win32Res::FileHandle file_;
    HANDLE handle_ = nullptr;
    bool console_ = false;
};

struct Viewer {
    Output output;
    std::uint64_t limit = 0;
    std::uint64_t received = 0;
    std::uint64_t rejected = 0;
};

HWND mainWindow = nullptr;

BOOL WINAPI OnConsoleSignal(DWORD) {
    // Runs on a thread of its own: the window ends on its own thread.
    if (mainWindow != nullptr) {
        ::PostMessageW(mainWindow, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* viewer = reinterpret_cast<Viewer*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_COPYDATA: {
        // Sent messages overtake the posted WM_CLOSE: lines past the count are not taken.
        if (viewer == nullptr || (viewer->limit != 0 && viewer->received >= viewer->limit)) {
            return FALSE;
        }
        Record record;
        const char* reason = "";
        if (!Parse(*reinterpret_cast<const COPYDATASTRUCT*>(lParam), record, reason)) {
            ++viewer->rejected;
            std::fprintf(stderr, "traceview: rejected a record: %s\n", reason);
            return FALSE;
        }
        viewer->output.Write(Format(record));
        if (++viewer->received == viewer->limit) {
            ::PostMessageW(window, WM_CLOSE, 0, 0);
        }
        return TRUE;
    }
    case WM_TIMER:
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

bool ParseNumber(const wchar_t* text, std::uint64_t& value) {
    if (text == nullptr || *text == L'\0') {
        return false;
    }
    wchar_t* end = nullptr;
    value = std::wcstoull(text, &end, 10);
    return *end == L'\0' && text[0] != L'-';
}

// Returns false with a message on a bad command line.
bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const wchar_t* next = i + 1 < argc ? argv[i + 1] : nullptr;
        std::uint64_t number = 0;
        if ((arg == L"-o" || arg == L"--output") && next != nullptr) {
            options.output = next;
            ++i;
        } else if (arg == L"--append") {
            options.append = true;
        } else if (arg == L"--timeout" && ParseNumber(next, number) && number > 0 &&
                   number < 0x7FFFFFFF) {
            options.timeout = static_cast<DWORD>(number);
            ++i;
        } else if (arg == L"--count" && ParseNumber(next, number) && number > 0) {
            options.count = number;
            ++i;
        } else if (arg == L"--stop") {
            options.stop = true;
        } else if (arg == L"-h" || arg == L"--help" || arg == L"/?") {
            options.help = true;
        } else {
            std::fprintf(stderr, "traceview: bad argument: %s\n",
                         TextConvert::WideToAnsi(arg).c_str());
            return false;
        }
    }
    return true;
}

int Stop() {
    const HWND running = ::FindWindowW(UTrace::ViewerWindowClass, nullptr);
    if (running == nullptr) {
        std::fprintf(stderr, "traceview: no trace viewer is running\n");
        return 1;
    }
    ::PostMessageW(running, WM_CLOSE, 0, 0);
    return 0;
}

int Run(const Options& options) {
    Viewer viewer;
    viewer.limit = options.count;
    if (!viewer.output.Open(options)) {
        std::fprintf(stderr, "traceview: cannot open the output (error %lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    if (::FindWindowW(UTrace::ViewerWindowClass, nullptr) != nullptr) {
        std::fprintf(stderr, "traceview: another trace viewer is running; each traced program "
                             "sends to only one of them\n");
    }

    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = UTrace::ViewerWindowClass;
    if (::RegisterClassExW(&windowClass) == 0) {
        std::fprintf(stderr, "traceview: cannot register the window class (error %lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    // A top-level window, not a message-only one: FindWindowW does not see message-only windows.
    const HWND window = ::CreateWindowExW(0, UTrace::ViewerWindowClass, L"Talven trace viewer",
                                          WS_OVERLAPPED, CW_USEDEFAULT, CW_USEDEFAULT, 400, 200,
                                          nullptr, nullptr, instance, &viewer);
    if (window == nullptr) {
        std::fprintf(stderr, "traceview: cannot create the window (error %lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    mainWindow = window;
    ::SetConsoleCtrlHandler(&OnConsoleSignal, TRUE);
    if (options.timeout != 0) {
        ::SetTimer(window, 1, options.timeout, nullptr);
    }

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    mainWindow = nullptr;
    ::SetConsoleCtrlHandler(&OnConsoleSignal, FALSE);
    if (::IsWindow(window)) {
        ::DestroyWindow(window);
    }
    std::fprintf(stderr, "traceview: %llu lines, %llu records rejected\n",
                 static_cast<unsigned long long>(viewer.received),
                 static_cast<unsigned long long>(viewer.rejected));
    return 0;
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr) {
        std::fprintf(stderr, "traceview: cannot read the command line\n");
        return 2;
    }
    // CommandLineToArgvW hands out one LocalAlloc block.
    const Win32Res::LocalMemory argvOwner(reinterpret_cast<HLOCAL>(argv));
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs(Usage, stderr);
        return 2;
    }
    if (options.help) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (options.stop) {
        return Stop();
    }
    return Run(options);
}

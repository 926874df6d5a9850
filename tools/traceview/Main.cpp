// traceview: the trace viewer. Receives the trace records that traced programs send to a window
// of the viewer class and checks them. Started on its own (or with --window) it shows them in a
// window; from a console or a script it prints each line with its level and component to the
// console or to a file, and ends on WM_CLOSE, Ctrl+C, a timeout or a line count.
#include "Record.h"
#include "ViewerWindow.h"

#include "Private/Windows/TalvenWindows.h"
#include "Private/Windows/Win32Handle.h"
#include "support/ByteString.h"
#include "support/Trace.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

using TraceView::FormatLine;
using TraceView::ParseRecord;
using TraceView::Record;

const char Usage[] =
    "usage: traceview [-o FILE] [--append] [--timeout MS] [--count N] [--console]\n"
    "       traceview --window [--max-lines N]\n"
    "       traceview --stop | --save FILE\n"
    "\n"
    "Receives the lines of traced programs and prints them as\n"
    "  [level] component (value N): text\n"
    "or, started on its own or with --window, shows them in a window.\n"
    "\n"
    "  -o, --output FILE  write the lines to FILE (replaced) instead of the console\n"
    "  --append           add to FILE instead of replacing it\n"
    "  --timeout MS       end after MS milliseconds\n"
    "  --count N          end after N lines\n"
    "  --console          print to the console even when started on its own\n"
    "  --window           show the window\n"
    "  --max-lines N      lines the window keeps before dropping the oldest (1000000)\n"
    "  --stop             tell the running viewer to end, then end\n"
    "  --save FILE        tell the running viewer's window to save the lines it shows\n"
    "  -h, --help         show this text\n";

struct Options {
    std::wstring output;
    bool append = false;
    DWORD timeout = 0;       // 0: none
    std::uint64_t count = 0; // 0: no limit
    bool console = false;
    bool window = false;
    std::uint64_t maxLines = TraceView::WindowOptions().maxLines;
    bool stop = false;
    std::wstring save;
    bool help = false;
};

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
        const auto& data = *reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        Record record;
        if (const char* reason = ParseRecord(data.dwData, data.lpData, data.cbData, record)) {
            ++viewer->rejected;
            std::fprintf(stderr, "traceview: rejected a record: %s\n", reason);
            return FALSE;
        }
        viewer->output.Write(
            FormatLine(record.level, record.component, record.hasValue, record.value, record.text));
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
        } else if (arg == L"--console") {
            options.console = true;
        } else if (arg == L"--window") {
            options.window = true;
        } else if (arg == L"--max-lines" && ParseNumber(next, number) && number > 0) {
            options.maxLines = number;
            ++i;
        } else if (arg == L"--stop") {
            options.stop = true;
        } else if (arg == L"--save" && next != nullptr) {
            options.save = next;
            ++i;
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

// Asks the running viewer's window to save what it shows; waits until the file is written.
int Save(const std::wstring& path) {
    const HWND running = ::FindWindowW(UTrace::ViewerWindowClass, nullptr);
    if (running == nullptr) {
        std::fprintf(stderr, "traceview: no trace viewer is running\n");
        return 1;
    }
    // The window may have another current folder: give it the full path.
    wchar_t full[32768];
    const DWORD length = ::GetFullPathNameW(path.c_str(), 32768, full, nullptr);
    if (length == 0 || length >= 32768) {
        std::fprintf(stderr, "traceview: bad file name\n");
        return 1;
    }
    COPYDATASTRUCT data = {TraceView::SaveRequestMagic,
                           static_cast<DWORD>(length * sizeof(wchar_t)), full};
    if (::SendMessageW(running, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)) == FALSE) {
        std::fprintf(stderr, "traceview: the running viewer did not save the lines (a console "
                             "viewer cannot, and a window cannot write to that file)\n");
        return 1;
    }
    return 0;
}

// Started on its own: no output options, and standard output is not redirected, and the
// console (if any) was made for this process alone, as Explorer makes one.
bool StartedOnItsOwn(const Options& options) {
    if (options.console || !options.output.empty() || options.count != 0 || options.timeout != 0) {
        return false;
    }
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != nullptr && out != INVALID_HANDLE_VALUE && !::GetConsoleMode(out, &mode)) {
        return false;
    }
    DWORD processes[2];
    return ::GetConsoleProcessList(processes, 2) <= 1;
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
    if (!options.save.empty()) {
        return Save(options.save);
    }
    if (options.window || StartedOnItsOwn(options)) {
        ::FreeConsole(); // the console Explorer opened for us would only stand empty
        TraceView::WindowOptions window;
        window.maxLines = static_cast<std::size_t>(
            std::min<std::uint64_t>(options.maxLines, static_cast<std::size_t>(-1)));
        return TraceView::RunWindow(window);
    }
    return Run(options);
}

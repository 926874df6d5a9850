// trace_bench: the cost of trace calls. A call at a disabled level (one lock and one
// comparison, no formatting), an enabled line to the debugger only, and an enabled line with a
// viewer window present: in this process on another thread, and traceview.exe (printing, and
// showing its window) when it is built beside this program; then whether the window keeps up
// with four traced programs. Raw Win32 calls of the same work are printed for comparison.
//   trace_bench [cheap calls [written lines [lines per sender]]]
#include "Private/Windows/TalvenWindows.h"
#include "Private/Windows/Win32Handle.h"
#include "support/CriticalSection.h"
#include "support/Trace.h"
#include "tools/traceview/Record.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace {

double NanosecondsPerCall(long calls, const std::function<void(long)>& body) {
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) {
        body(i);
    }
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / calls;
}

void Report(const char* what, double nanoseconds, const char* note = "") {
    std::printf("  %-44s %12.1f ns%s\n", what, nanoseconds, note);
}

bool NoViewer(std::uint32_t, const char*, const char*) {
    return false;
}

// A viewer window on a thread of its own that only counts what it receives.
class CountingViewer {
public:
    CountingViewer() {
        thread_ = std::thread([this] { Run(); });
        while (!started_) {
            std::this_thread::yield();
        }
    }
    ~CountingViewer() {
        if (window_ != nullptr) {
            ::PostMessageW(window_, WM_CLOSE, 0, 0);
        }
        thread_.join();
    }
    bool Ok() const { return window_ != nullptr; }
    long Received() const { return received_; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_COPYDATA) {
            ++received_;
            return TRUE;
        }
        if (message == WM_DESTROY) {
            ::PostQuitMessage(0);
            return 0;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    void Run() {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &WindowProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = UTrace::ViewerWindowClass;
        ::RegisterClassExW(&windowClass);
        window_ = ::CreateWindowExW(0, UTrace::ViewerWindowClass, L"bench viewer", WS_OVERLAPPED, 0,
                                    0, 10, 10, nullptr, nullptr, windowClass.hInstance, nullptr);
        started_ = true;
        MSG message;
        while (window_ != nullptr && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::DispatchMessageW(&message);
        }
    }

    static inline std::atomic<long> received_{0};
    std::thread thread_;
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> started_{false};
};

HWND WaitForViewer(DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    HWND window = nullptr;
    while ((window = ::FindWindowW(UTrace::ViewerWindowClass, nullptr)) == nullptr &&
           ::GetTickCount() - start < timeoutMs) {
        ::Sleep(50);
    }
    return window;
}

std::wstring ProgramFolder() {
    wchar_t buffer[32768];
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, 32768);
    std::wstring path(buffer, length);
    return path.substr(0, path.find_last_of(L"\\/"));
}

double TracedLines(const char* what, long lines,
                   std::uint32_t flags = UTrace::FlagDebugger | UTrace::FlagAllLevels) {
    UTrace::shutdown();
    UTrace::init(); // looks the viewer up afresh
    UTrace::setComponent("Bench");
    UTrace::setFlags(flags);
    const double nanoseconds =
        NanosecondsPerCall(lines, [](long i) { UTrace::trace3("line %ld", i); });
    Report(what, nanoseconds);
    return nanoseconds;
}

// A program started from the folder of this one, without a console window.
class Child {
public:
    bool Start(const wchar_t* name, const std::wstring& arguments) {
        const std::wstring program = ProgramFolder() + L"\\" + name;
        std::wstring commandLine = L"\"" + program + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                              CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
            return false;
        }
        process_.Reset(info.hProcess);
        Win32Res::KernelHandle thread(info.hThread);
        return true;
    }
    // Waits for the end, and ends the program when it takes longer than timeoutMs.
    void Wait(DWORD timeoutMs) {
        if (process_ && ::WaitForSingleObject(process_.Get(), timeoutMs) != WAIT_OBJECT_0) {
            ::TerminateProcess(process_.Get(), 1);
        }
        process_.Reset();
    }
    ~Child() { Wait(0); }

private:
    Win32Res::KernelHandle process_;
};

std::wstring TemporaryFile() {
    wchar_t folder[MAX_PATH];
    wchar_t file[MAX_PATH];
    if (::GetTempPathW(MAX_PATH, folder) == 0 || ::GetTempFileNameW(folder, L"tvb", 0, file) == 0) {
        return L"NUL";
    }
    return file;
}

// The lines in a file, which is then removed; -1 when it cannot be read.
long LinesOf(const std::wstring& path) {
    long lines = -1;
    if (std::FILE* in = _wfopen(path.c_str(), L"rb")) {
        lines = 0;
        for (int c; (c = std::fgetc(in)) != EOF;) {
            lines += c == '\n' ? 1 : 0;
        }
        std::fclose(in);
    }
    ::DeleteFileW(path.c_str());
    return lines;
}

// Four traced programs at 5,000 lines a second each. Returns the lines per second reached.
// Under Wine each line is a cross-process SendMessageW that waits for the viewer, so senders
// are held back, never dropped: the rate reached is the figure to read.
double FourSenders(long perSender) {
    const auto start = std::chrono::steady_clock::now();
    Child senders[4];
    for (int i = 0; i < 4; ++i) {
        senders[i].Start(L"trace_sample.exe", L"--no-debugger --rate 5000 --lines " +
                                                  std::to_wstring(perSender) +
                                                  L" --component Sender" + std::to_wstring(i));
    }
    for (Child& sender : senders) {
        sender.Wait(600000);
    }
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    return 4.0 * (perSender + 4) / spent.count(); // trace_sample adds 4 lines of its own
}

// The same line through traceview.exe in another process, printing to a file and showing its
// window, when it is built beside us. The added cost of a viewer is the cost of a line with it
// less the cost of the same line without one. Then four senders into each: every line must
// arrive, in the file or in the window's list (read through its save request).
void ExternalViewers(long lines, long perSender) {
    if (::GetFileAttributesW((ProgramFolder() + L"\\traceview.exe").c_str()) ==
        INVALID_FILE_ATTRIBUTES) {
        std::printf("  (traceview.exe not found beside this program: no cross-process run)\n");
        return;
    }
    const double alone = TracedLines("enabled line, no viewer", lines, UTrace::FlagAllLevels);
    const char* const names[] = {"console", "window"};
    double added[2] = {0, 0};
    for (int v = 0; v < 2; ++v) {
        const std::wstring output = TemporaryFile();
        Child viewer;
        HWND window = nullptr;
        if (!viewer.Start(L"traceview.exe",
                          v == 0 ? L"--timeout 600000 -o \"" + output + L"\"" : L"--window") ||
            (window = WaitForViewer(20000)) == nullptr) {
            std::printf("  (the %s traceview.exe showed no window)\n", names[v]);
            return;
        }
        const std::string debuggerCase =
            std::string("enabled line, debugger + ") + names[v] + " traceview.exe";
        TracedLines(debuggerCase.c_str(), lines);
        const std::string viewerCase =
            std::string("enabled line, ") + names[v] + " traceview.exe only";
        added[v] = TracedLines(viewerCase.c_str(), lines, UTrace::FlagAllLevels) - alone;
        UTrace::shutdown();
        const long before = 2 * lines;
        const double rate = perSender > 0 ? FourSenders(perSender) : 0;
        if (v == 1) {
            COPYDATASTRUCT data = {TraceView::SaveRequestMagic,
                                   static_cast<DWORD>(output.size() * sizeof(wchar_t)),
                                   const_cast<wchar_t*>(output.c_str())};
            ::SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
        }
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        viewer.Wait(20000);
        if (perSender > 0) {
            const long sent = 4 * (perSender + 4);
            const long arrived = LinesOf(output) - before;
            std::printf("  4 senders at 5,000 lines/s each into the %s viewer: %ld sent, %ld "
                        "arrived (%ld lost), %.0f lines/s reached of 20,000\n",
                        names[v], sent, arrived, sent - arrived, rate);
        }
    }
    std::printf("  added cost per line: console viewer %.1f us, window viewer %.1f us: "
                "window / console %.2fx\n",
                added[0] / 1000, added[1] / 1000, added[1] / added[0]);
}

} // namespace

int main(int argc, char** argv) {
    const long fast = argc > 1 ? std::stol(argv[1]) : 2000000;
    const long slow = argc > 2 ? std::stol(argv[2]) : 20000;
    const long senderLines = argc > 3 ? std::stol(argv[3]) : 20000;
    std::printf("trace_bench: %ld calls for cheap cases, %ld lines for written ones\n", fast, slow);
    if (::FindWindowW(UTrace::ViewerWindowClass, nullptr) != nullptr) {
        std::printf("  note: a trace viewer is already running; the figures include it\n");
    }

    std::printf("Disabled and uninitialised calls:\n");
    UTrace::shutdown();
    Report("before init", NanosecondsPerCall(fast, [](long i) { UTrace::trace3("x %ld", i); }));
    UTrace::init();
    UTrace::setFlags(UTrace::FlagDebugger);
    UTrace::setLevel(1);
    Report("disabled level (one lock, one comparison)",
           NanosecondsPerCall(fast, [](long i) { UTrace::trace3("x %ld", i); }));
    TalvenRawCriticalSection section;
    TalvenInitializeCriticalSection(section);
    Report("raw: enter and leave a critical section",
           NanosecondsPerCall(fast, [&](long) { TalvenRawSectionGuard guard(section); }));
    TalvenDeleteCriticalSection(section);

    std::printf("Enabled lines:\n");
    UTrace::setFilter(&NoViewer);
    UTrace::setFlags(UTrace::FlagDebugger | UTrace::FlagAllLevels);
    Report("enabled line, debugger only",
           NanosecondsPerCall(slow, [](long i) { UTrace::trace3("line %ld", i); }));
    Report("raw: three OutputDebugStringA calls", NanosecondsPerCall(slow, [](long i) {
               char line[32];
               std::snprintf(line, sizeof line, "line %ld", i);
               ::OutputDebugStringA("Bench: ");
               ::OutputDebugStringA(line);
               ::OutputDebugStringA("\r\n");
           }));
    {
        CountingViewer viewer;
        if (viewer.Ok()) {
            TracedLines("enabled line, debugger + viewer thread", slow);
            TracedLines("enabled line, viewer thread only", slow, UTrace::FlagAllLevels);
        } else {
            std::printf("  (no window could be created: no viewer run)\n");
        }
    }
    ExternalViewers(slow, senderLines);
    UTrace::shutdown();
    return 0;
}

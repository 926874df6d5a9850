// trace_bench: the cost of trace calls. A call at a disabled level (one lock and one
// comparison, no formatting), an enabled line to the debugger only, and an enabled line with a
// viewer window present: in this process on another thread, and traceview.exe when it is built
// beside this program. Raw Win32 calls of the same work are printed for comparison.
#include "Private/Windows/TalvenWindows.h"
#include "Private/Windows/Win32Handle.h"
#include "support/CriticalSection.h"
#include "support/Trace.h"

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

void TracedLines(const char* what, long lines,
                 std::uint32_t flags = UTrace::FlagDebugger | UTrace::FlagAllLevels) {
    UTrace::shutdown();
    UTrace::init(); // looks the viewer up afresh
    UTrace::setComponent("Bench");
    UTrace::setFlags(flags);
    Report(what, NanosecondsPerCall(lines, [](long i) { UTrace::trace3("line %ld", i); }));
}

// The same line through traceview.exe in another process, when it is built beside us.
void ExternalViewer(long lines) {
    const std::wstring program = ProgramFolder() + L"\\traceview.exe";
    if (::GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::printf("  (traceview.exe not found beside this program: no cross-process run)\n");
        return;
    }
    std::wstring commandLine = L"\"" + program + L"\" -o NUL --timeout 120000";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
        std::printf("  (traceview.exe did not start)\n");
        return;
    }
    Win32Res::KernelHandle process(info.hProcess);
    Win32Res::KernelHandle thread(info.hThread);
    const HWND window = WaitForViewer(20000);
    if (window == nullptr) {
        std::printf("  (traceview.exe showed no window)\n");
        ::TerminateProcess(process.Get(), 1);
        return;
    }
    TracedLines("enabled line, debugger + traceview.exe", lines);
    TracedLines("enabled line, traceview.exe only", lines, UTrace::FlagAllLevels);
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(process.Get(), 20000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.Get(), 1);
    }
}

} // namespace

int main(int argc, char** argv) {
    const long fast = argc > 1 ? std::stol(argv[1]) : 2000000;
    const long slow = argc > 2 ? std::stol(argv[2]) : 20000;
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
    ExternalViewer(slow);
    UTrace::shutdown();
    return 0;
}

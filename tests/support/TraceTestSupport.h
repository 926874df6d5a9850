// Test support for the trace facility: capture of what reaches the debugger, and a fixture that
// runs traceview.exe and traced programs from the bin folder.
#pragma once

#include "common/TestFolder.h"
#include "support/TalvenWindows.h"
#include "support/Trace.h"
#include "support/Win32Handle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace TraceTestSupport {

using Lines = std::vector<std::string>;

// Every OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text, which a handler sees.
class DebuggerCapture {
public:
    DebuggerCapture() : handler_(::AddVectoredExceptionHandler(1, &Handler)) { instance_ = this; }
    ~DebuggerCapture() {
        instance_ = nullptr;
        ::RemoveVectoredExceptionHandler(handler_);
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }
    // A line is three calls of one thread (prefix, line, CR LF); anything else fails the test.
    TraceTestSupport::Lines Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        TraceTestSupport::Lines lines;
        for (std::size_t i = 0; i < calls_.size(); i += 3) {
            if (i + 2 >= calls_.size() || calls_[i + 2].second != "\r\n" ||
                calls_[i].first != calls_[i + 1].first || calls_[i].first != calls_[i + 2].first) {
                ADD_FAILURE() << "debugger call " << i << " does not start a whole line";
                break;
            }
            lines.push_back(calls_[i].second + calls_[i + 1].second);
        }
        return lines;
    }

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* info) {
        const EXCEPTION_RECORD& record = *info->ExceptionRecord;
        if (record.ExceptionCode != DBG_PRINTEXCEPTION_C || record.NumberParameters < 2 ||
            instance_ == nullptr) {
            return EXCEPTION_CONTINUE_SEARCH;
        }
        const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
        std::lock_guard<std::mutex> lock(instance_->mutex_);
        instance_->calls_.emplace_back(::GetCurrentThreadId(), text != nullptr ? text : "");
        return EXCEPTION_CONTINUE_EXECUTION;
    }

    static inline DebuggerCapture* instance_ = nullptr;
    PVOID handler_;
    std::mutex mutex_;
    std::vector<std::pair<DWORD, std::string>> calls_;
};

inline std::wstring Program(const wchar_t* name) {
    return TalvenTest::TestFolder::ProgramFolder() + L"\\" + name;
}

inline HWND FindViewer(DWORD timeoutMs) {
    for (const DWORD start = ::GetTickCount();; ::Sleep(50)) {
        const HWND window = ::FindWindowW(UTrace::ViewerWindowClass, nullptr);
        if (window != nullptr || ::GetTickCount() - start >= timeoutMs) {
            return window;
        }
    }
}

inline Lines ReadLines(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path)}; // text mode: CR LF ends a line
    Lines lines;
    for (std::string line; std::getline(in, line); lines.push_back(line)) {
    }
    return lines;
}

// The lines of "trace_sample --lines count --component component", as traceview prints them.
inline Lines SampleLines(const std::string& component, int count) {
    Lines lines = {"[4] " + component + ": run - " + std::to_string(count) + " lines"};
    for (int i = 0; i < count; ++i) {
        lines.push_back("[2] " + component + ":   line " + std::to_string(i));
    }
    lines.push_back("[3] " + component + " (value 42):   the answer");
    lines.push_back("[1] " + component + ":   open: error = -10005, message = \"file not found\"");
    lines.push_back("[4] " + component + ": run - return = 0");
    return lines;
}

// A program of the bin folder, killed when it outlives a wait or its owner.
class ChildProcess {
public:
    bool Start(const wchar_t* program, const std::wstring& arguments) {
        std::wstring line = L"\"" + Program(program) + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        const bool started = ::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE,
                                              CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
        process_.Reset(info.hProcess);
        const Win32Res::KernelHandle thread(info.hThread);
        return started;
    }
    // The exit code; -1 when none was started or it was killed.
    long Wait(DWORD timeout) {
        DWORD code = static_cast<DWORD>(-1);
        if (process_ && ::WaitForSingleObject(process_.Get(), timeout) != WAIT_OBJECT_0) {
            ::TerminateProcess(process_.Get(), code);
            ::WaitForSingleObject(process_.Get(), 5000);
        } else if (process_) {
            ::GetExitCodeProcess(process_.Get(), &code);
        }
        process_.Reset();
        return static_cast<long>(code);
    }
    ~ChildProcess() { Wait(0); }

private:
    Win32Res::KernelHandle process_;
};

// Starts traceview.exe on demand; found by window class, so no other viewer may run meanwhile.
class ViewerProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::GetFileAttributesW(Program(L"trace_sample.exe").c_str()) == INVALID_FILE_ATTRIBUTES) {
            GTEST_SKIP() << "traceview.exe and trace_sample.exe are not built";
        }
        ASSERT_EQ(FindViewer(0), nullptr) << "another trace viewer is running";
    }
    void TearDown() override { StopViewer(); }
    void StartViewer(const std::wstring& arguments) {
        ASSERT_TRUE(viewer_.Start(L"traceview.exe", arguments));
        window_ = FindViewer(20000);
        ASSERT_NE(window_, nullptr) << "traceview showed no window";
        ::SendMessageW(window_, WM_NULL, 0, 0); // answered once the window serves messages
    }
    long StopViewer() {
        if (window_ != nullptr) {
            ::PostMessageW(window_, WM_CLOSE, 0, 0);
            window_ = nullptr;
        }
        return viewer_.Wait(20000);
    }
    static long Run(const wchar_t* program, const std::wstring& arguments) {
        ChildProcess child;
        return child.Start(program, arguments) ? child.Wait(60000) : -2;
    }

    TalvenTest::TestFolder folder_;
    const std::wstring output_ = folder_.Child(L"lines.txt");
    ChildProcess viewer_;
    HWND window_ = nullptr;
};

} // namespace TraceTestSupport

// Test support for the traceview program: starting it and traced programs from the bin folder,
// finding the viewer's window, the lines trace_sample writes, and reading a file of lines.
#pragma once

#include "Private/Windows/TalvenWindows.h"
#include "Private/Windows/Win32Handle.h"
#include "common/TestFolder.h"
#include "support/Trace.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace TraceViewSupport {

using Lines = std::vector<std::string>;

inline std::wstring Program(const wchar_t* name) {
    return TalvenTest::TestFolder::ProgramFolder() + L"\\" + name;
}

class ChildProcess {
public:
    bool Start(const std::wstring& program, const std::wstring& arguments) {
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
    // The exit code, or -1 after killing a process that did not end within timeout.
    long Wait(DWORD timeout) {
        if (!process_) {
            return -1;
        }
        if (::WaitForSingleObject(process_.Get(), timeout) != WAIT_OBJECT_0) {
            ::TerminateProcess(process_.Get(), 99);
            ::WaitForSingleObject(process_.Get(), 5000);
            process_.Reset();
            return -1;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process_.Get(), &code);
        process_.Reset();
        return static_cast<long>(code);
    }
    ~ChildProcess() { Wait(0); }

private:
    Win32Res::KernelHandle process_;
};

inline HWND WaitForViewerWindow(DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (HWND window = ::FindWindowW(UTrace::ViewerWindowClass, nullptr)) {
            return window;
        }
        if (::GetTickCount() - start > timeoutMs) {
            return nullptr;
        }
        ::Sleep(50);
    }
}

inline Lines ReadLines(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    Lines lines;
    std::string line;
    while (std::getline(content, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
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

// True when traceview.exe and trace_sample.exe are built beside the test program.
inline bool ProgramsBuilt() {
    return ::GetFileAttributesW(Program(L"traceview.exe").c_str()) != INVALID_FILE_ATTRIBUTES &&
           ::GetFileAttributesW(Program(L"trace_sample.exe").c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace TraceViewSupport

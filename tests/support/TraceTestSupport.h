// Test support for the trace facility: capture of what reaches the debugger, an in-process
// trace viewer window on a thread of its own, and the fields of a received viewer record.
#pragma once

#include "support/TalvenWindows.h"
#include "support/Trace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TraceTestSupport {

// Captures every OutputDebugStringA call of the process through a vectored exception handler:
// the call raises DBG_PRINTEXCEPTION_C with the length and the text as its arguments.
class DebuggerCapture {
public:
    struct Call {
        DWORD thread;
        std::string text;
    };

    DebuggerCapture() {
        instance_ = this;
        handler_ = ::AddVectoredExceptionHandler(1, &Handler);
    }
    ~DebuggerCapture() {
        if (handler_ != nullptr) {
            ::RemoveVectoredExceptionHandler(handler_);
        }
        instance_ = nullptr;
    }
    DebuggerCapture(const DebuggerCapture&) = delete;
    DebuggerCapture& operator=(const DebuggerCapture&) = delete;

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // The captured lines as "<component prefix><line>". Every line must arrive as three
    // consecutive calls of one thread (prefix, line, CR LF); a break in that pattern fails the
    // test, because it means lines of different threads interleaved.
    std::vector<std::string> Lines() {
        const std::vector<Call> calls = Calls();
        std::vector<std::string> lines;
        if (calls.size() % 3 != 0) {
            ADD_FAILURE() << calls.size() << " debugger calls is not a multiple of three";
            return lines;
        }
        for (std::size_t i = 0; i < calls.size(); i += 3) {
            if (calls[i + 2].text != "\r\n" || calls[i].thread != calls[i + 1].thread ||
                calls[i].thread != calls[i + 2].thread) {
                ADD_FAILURE() << "line " << i / 3 << " is interleaved: '" << calls[i].text << "' '"
                              << calls[i + 1].text << "'";
                return lines;
            }
            lines.push_back(calls[i].text + calls[i + 1].text);
        }
        return lines;
    }

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* info) {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2 ||
            instance_ == nullptr) {
            return EXCEPTION_CONTINUE_SEARCH;
        }
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        std::lock_guard<std::mutex> lock(instance_->mutex_);
        instance_->calls_.push_back(Call{::GetCurrentThreadId(), text != nullptr ? text : ""});
        return EXCEPTION_CONTINUE_EXECUTION;
    }

    static inline DebuggerCapture* instance_ = nullptr;
    PVOID handler_ = nullptr;
    std::mutex mutex_;
    std::vector<Call> calls_;
};

// One WM_COPYDATA as it arrived.
struct Received {
    ULONG_PTR dwData;
    std::vector<unsigned char> bytes;

    std::uint32_t U32(std::size_t offset) const {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) {
            value = (value << 8) | bytes.at(offset + static_cast<std::size_t>(i));
        }
        return value;
    }
    std::string Text() const {
        if (bytes.size() <= UTrace::ViewerRecord::OffsetText) {
            return std::string();
        }
        const char* start =
            reinterpret_cast<const char*>(bytes.data()) + UTrace::ViewerRecord::OffsetText;
        return std::string(start, strnlen(start, bytes.size() - UTrace::ViewerRecord::OffsetText));
    }
};

// A window of the viewer class, created and served by a thread of its own, so that the traced
// thread reaches it through SendMessageW across threads as it would reach another process.
class InProcessViewer {
public:
    InProcessViewer() {
        thread_ = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_for(lock, std::chrono::seconds(10), [this] { return started_; });
    }
    ~InProcessViewer() { Close(); }
    InProcessViewer(const InProcessViewer&) = delete;
    InProcessViewer& operator=(const InProcessViewer&) = delete;

    HWND Window() const { return window_; }

    // Destroys the window and ends its thread.
    void Close() {
        if (!thread_.joinable()) {
            return;
        }
        if (window_ != nullptr) {
            ::PostMessageW(window_, WM_CLOSE, 0, 0);
        } else {
            ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        }
        thread_.join();
        window_ = nullptr;
    }

    std::vector<Received> Records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const Received& record : Records()) {
            texts.push_back(record.Text());
        }
        return texts;
    }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            ::SetWindowLongPtrW(window, GWLP_USERDATA,
                                reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<InProcessViewer*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_COPYDATA && self != nullptr) {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            const auto* first = static_cast<const unsigned char*>(data->lpData);
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->records_.push_back(
                Received{data->dwData, std::vector<unsigned char>(first, first + data->cbData)});
            return TRUE;
        }
        if (message == WM_DESTROY) {
            ::PostQuitMessage(0);
            return 0;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }

    void Run() {
        threadId_ = ::GetCurrentThreadId();
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &WindowProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = UTrace::ViewerWindowClass;
        // A class stays registered for the process; the second viewer reuses it.
        ::RegisterClassExW(&windowClass);
        HWND window =
            ::CreateWindowExW(0, UTrace::ViewerWindowClass, L"test viewer", WS_OVERLAPPED, 0, 0, 10,
                              10, nullptr, nullptr, windowClass.hInstance, this);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            window_ = window;
            started_ = true;
        }
        ready_.notify_all();
        if (window == nullptr) {
            return;
        }
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::DispatchMessageW(&message);
        }
    }

    std::thread thread_;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
    bool started_ = false;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Received> records_;
};

} // namespace TraceTestSupport

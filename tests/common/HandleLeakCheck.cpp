// Test support: the handle-leak check and the listener that runs it around every test.
#include "common/HandleLeakCheck.h"

#include "common/HandleCount.h"

#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace TalvenTest {

namespace {

// Re-counts while the count is above the start: a joined thread's handle or a file closed
// through Wine's server may take a moment to leave the table.
constexpr int SettleTries = 10;
constexpr DWORD SettleMilliseconds = 10;

// Writes a shortcut to folder into folder, resolves it and deletes it: the shell keeps state
// after the first resolution. COM must be initialised on the calling thread.
void ResolveShortcut(const std::wstring& folder) {
    Win32Res::ComPtr<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  link.PutVoid()))) {
        return;
    }
    Win32Res::ComPtr<IPersistFile> file;
    const std::wstring path =
        folder + L"talven-warmup-" + std::to_wstring(::GetCurrentProcessId()) + L".lnk";
    if (SUCCEEDED(link->SetPath(folder.c_str())) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.PutVoid()))) {
        if (SUCCEEDED(file->Save(path.c_str(), TRUE)) &&
            SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
            link->Resolve(nullptr, SLR_NO_UI | SLR_ANY_MATCH);
        }
        file.Reset();
        ::DeleteFileW(path.c_str());
    }
}

// The OS paths every file-system suite takes, once, so that what the OS keeps after their
// first use (Wine's mount manager and services, the loader's state) is in the start count.
// OS and runtime calls only: the library's own start-up and COM are states that some suites
// test.
void WarmUp() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring folder =
        (length > 0 && length <= MAX_PATH) ? std::wstring(temp, length) : std::wstring();
    // The drives the suites use (the fixtures' T: and Q: may be missing).
    for (const wchar_t* root : {L"C:\\", L"T:\\", L"Q:\\"}) {
        ULARGE_INTEGER available, total, free;
        ::GetDriveTypeW(root);
        ::GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0);
        ::GetDiskFreeSpaceExW(root, &available, &total, &free);
    }
    if (!folder.empty()) {
        WIN32_FIND_DATAW data;
        const Win32Res::FindHandle listed(::FindFirstFileW((folder + L"*").c_str(), &data));
        const std::wstring file =
            folder + L"talven-warmup-" + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
        Win32Res::FileHandle handle(::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                  nullptr));
        if (handle) {
            handle.Reset();
            ::DeleteFileW(file.c_str());
        }
    }
    // Under Wine the process's first C++ throw takes two handles for good (the unwinder), the
    // first debugger output a mutex (GoogleTest writes every failure and skip there), and the
    // first window or shell call the connection to the desktop.
    try {
        throw 0;
    } catch (int) {
    }
    ::OutputDebugStringA("handle check: warm-up\n");
    ::FindWindowW(L"Talven.HandleCheck.NoSuchWindow", nullptr);
    const USHORT emptyItemList = 0;
    wchar_t path[MAX_PATH] = {};
    ::SHGetPathFromIDListW(reinterpret_cast<LPCITEMIDLIST>(&emptyItemList), path);
    // COM, balanced on this thread: what the shell keeps per thread and per process after the
    // first shortcut it resolves stays; the apartment itself is gone again, as the suites
    // expect.
    if (!folder.empty() && SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        ResolveShortcut(folder);
        ::CoUninitialize();
    }
    // Threads that load libraries at once contend for the loader's lock, which under Wine
    // takes a semaphore on its first contention and keeps it.
    std::vector<std::thread> loaders;
    for (int i = 0; i < 4; ++i) {
        loaders.emplace_back([] {
            for (int n = 0; n < 200; ++n) {
                const Win32Res::Module module(::LoadLibraryA("kernel32.dll"));
                ::GetProcAddress(module.Get(), "GetTickCount");
            }
        });
    }
    for (std::thread& loader : loaders) {
        loader.join();
    }
    // GoogleTest's per-thread state (the first SCOPED_TRACE) holds a handle of a thread that
    // watches the calling thread until it ends.
    SCOPED_TRACE("warm-up");
}

void WarmUpOnce() {
    static const bool done = (WarmUp(), true);
    (void)done;
}

// The check of the running test, when the listener is installed and active.
std::unique_ptr<HandleLeakCheck>* runningCheck = nullptr;

} // namespace

void RestartTestHandleCount() {
    if (runningCheck != nullptr && *runningCheck) {
        runningCheck->reset(new HandleLeakCheck());
    }
}

HandleLeakCheck::HandleLeakCheck() : before_((WarmUpOnce(), ProcessHandleCount())) {}

long HandleLeakCheck::Leaked() const {
    if (before_ < 0) {
        return 0;
    }
    long now = ProcessHandleCount();
    for (int attempt = 0; now > before_ && attempt < SettleTries; ++attempt) {
        ::Sleep(SettleMilliseconds);
        now = ProcessHandleCount();
    }
    return now - before_;
}

void HandleLeakCheck::Expect(const std::string& what) const {
    const long leaked = Leaked();
    if (leaked > 0) {
        ADD_FAILURE() << what << " leaked " << leaked << " handle(s) (" << before_ << " before)";
    }
}

static bool RequestedByEnvironment() {
    char value[8] = {};
    const DWORD length = ::GetEnvironmentVariableA("TALVEN_HANDLE_CHECK", value, sizeof value);
    return length > 0 && length < sizeof value && std::string(value) != "0";
}

void HandleLeakListener::OnTestProgramStart(const ::testing::UnitTest&) {
    active_ = RequestedByEnvironment();
    if (!active_) {
        return;
    }
    WarmUpOnce();
    if (ProcessHandleCount() < 0) {
        // Neither handle table can be read: no honest count exists, so nothing is claimed.
        std::printf("[handle check] this system cannot count handles; the check is off\n");
    }
}

void HandleLeakListener::OnTestStart(const ::testing::TestInfo&) {
    if (!active_) {
        return;
    }
    check_.reset(new HandleLeakCheck());
    runningCheck = &check_;
}

void HandleLeakListener::OnTestEnd(const ::testing::TestInfo&) {
    if (!check_ || !check_->Counting()) {
        return;
    }
    ++checked_;
    const long leaked = check_->Leaked();
    if (leaked > 0) {
        ++leaking_;
        // Still inside the test: the failure is the test's own.
        ADD_FAILURE() << "the test ended holding " << leaked
                      << " more handle(s) than at its start (" << check_->Before() << ")";
    }
    check_.reset();
}

void HandleLeakListener::OnTestProgramEnd(const ::testing::UnitTest&) {
    runningCheck = nullptr;
    if (checked_ > 0) {
        std::printf("[handle check] %d test(s) checked, %d leaking; %ld handles at the end\n",
                    checked_, leaking_, ProcessHandleCount());
    }
}

} // namespace TalvenTest

// The example component TalvenFileTools.dll in its real setting: created through COM by its
// ProgID (registered by the CTest fixture with regsvr32), called on many threads at once, and
// loaded and unloaded again and again.
#include "support/TalvenWindows.h"

#include "common/HandleCount.h"
#include "common/TestFolder.h"
#include "support/TraceTestSupport.h"
#include "support/Win32Handle.h"

#include "TalvenFileTools.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using Win32Res::ComPtr;

struct Bstr {
    explicit Bstr(const std::wstring& text) : value(::SysAllocString(text.c_str())) {}
    Bstr() = default;
    ~Bstr() { ::SysFreeString(value); }
    Bstr(const Bstr&) = delete;
    std::wstring Text() const { return value ? value : L""; }
    BSTR value = nullptr;
};

// A tree of 8 bytes at the top and 26 in all (plus 4 * extra).
void MakeTree(const TalvenTest::TestFolder& folder, const std::wstring& root, int extra = 0) {
    for (const wchar_t* sub : {L"", L"\\sub", L"\\sub\\deep"}) {
        ::CreateDirectoryW(folder.Child(root + sub).c_str(), nullptr);
    }
    for (const auto& file :
         {std::make_pair(L"a.txt", 3), std::make_pair(L"b.log", 5),
          std::make_pair(L"sub\\c.txt", 7), std::make_pair(L"sub\\deep\\d.txt", 11)}) {
        folder.WriteFile(root + L"\\" + file.first, std::string(file.second + extra, 'x'));
    }
}

// A script's progress routine: records the fractions it is called with; cancels from 0.5 on.
struct Progress : IDispatch {
    std::vector<double> fractions;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        return *out = this, S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        const VARIANT* args = params->rgvarg; // last first; a wrong call breaks the order
        fractions.push_back(params->cArgs == 2 && args[1].vt == VT_R8 ? args[1].dblVal : -1);
        result->vt = VT_BOOL;
        result->boolVal = fractions.back() >= 0.5 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
};

class ComponentTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ::CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    static void TearDownTestSuite() { ::CoUninitialize(); }
    void SetUp() override { ASSERT_TRUE(tools = Create()); }

    static ComPtr<ITalvenFileTools> Create() {
        CLSID clsid = {}; // stays empty on failure, which CoCreateInstance then reports
        ::CLSIDFromProgID(L"Talven.FileTools", &clsid);
        ComPtr<ITalvenFileTools> made;
        EXPECT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITalvenFileTools,
                                     made.PutVoid()),
                  S_OK);
        return made;
    }
    // Without progress, the routine is left out as a script leaves it out.
    HRESULT Copy(const std::wstring& from, const std::wstring& to, IDispatch* progress = nullptr) {
        VARIANT routine;
        routine.vt = progress ? VT_DISPATCH : VT_ERROR;
        routine.pdispVal = progress;
        if (!progress) {
            routine.scode = DISP_E_PARAMNOTFOUND;
        }
        return tools->CopyFolder(Bstr(from).value, Bstr(to).value, routine);
    }
    double Size(const std::wstring& path, VARIANT_BOOL recursive = VARIANT_TRUE) {
        double bytes = -1;
        EXPECT_EQ(tools->FolderSize(Bstr(path).value, recursive, &bytes), S_OK);
        return bytes;
    }
    // The paths found, relative to root, sorted.
    std::vector<std::wstring> Find(const std::wstring& root, const wchar_t* pattern,
                                   VARIANT_BOOL all) {
        VARIANT found;
        ::VariantInit(&found);
        EXPECT_EQ(tools->FindFiles(Bstr(root).value, Bstr(pattern).value, all, &found), S_OK);
        std::vector<std::wstring> paths;
        VARIANT* items = nullptr;
        if (found.vt == (VT_ARRAY | VT_VARIANT) &&
            ::SafeArrayAccessData(found.parray, reinterpret_cast<void**>(&items)) == S_OK) {
            for (ULONG i = 0; i < found.parray->rgsabound[0].cElements; ++i) {
                const std::wstring path = items[i].vt == VT_BSTR ? items[i].bstrVal : L"?";
                paths.push_back(path.substr(path.rfind(root + L"\\", 0) ? 0 : root.size() + 1));
            }
            ::SafeArrayUnaccessData(found.parray);
        }
        ::VariantClear(&found);
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    TalvenTest::TestFolder folder;
    ComPtr<ITalvenFileTools> tools;
};

TEST_F(ComponentTest, RegisteredClassFromItsOwnDll) {
    Bstr version, path;
    EXPECT_EQ(tools->get_Version(&version.value), S_OK);
    EXPECT_EQ(version.Text(), TALVEN_VERSION_TEXT);
    // The DLL's path, not this program's: the library found its own module.
    wchar_t loaded[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(L"TalvenFileTools.dll"), loaded, MAX_PATH);
    EXPECT_EQ(tools->get_ModulePath(&path.value), S_OK);
    EXPECT_EQ(path.Text(), loaded);
    EXPECT_NE(path.Text().find(L"\\TalvenFileTools.dll"), std::wstring::npos);
    // What regsvr32 wrote (the fixture removes it after the suites and checks that).
    const std::wstring clsid = L"CLSID\\{B48CF59E-888B-4534-AF34-70E9C167C5EA}";
    const std::tuple<std::wstring, const wchar_t*, std::wstring> keys[] = {
        {L"Talven.FileTools\\CLSID", nullptr, clsid.substr(6)},
        {clsid + L"\\ProgID", nullptr, L"Talven.FileTools"},
        {clsid + L"\\InprocServer32", nullptr, loaded},
        {clsid + L"\\InprocServer32", L"ThreadingModel", L"Both"},
        {clsid + L"\\TypeLib", nullptr, L"{387CA61E-EE06-41EC-B955-E17CCB7613FB}"}};
    for (const auto& key : keys) {    // key, name (null: the default value), value
        wchar_t value[MAX_PATH] = {}; // stays empty when the value is missing
        DWORD size = sizeof(value);
        ::RegGetValueW(HKEY_CLASSES_ROOT, std::get<0>(key).c_str(), std::get<1>(key), RRF_RT_REG_SZ,
                       nullptr, value, &size);
        EXPECT_EQ(std::wstring(value), std::get<2>(key)) << std::get<0>(key).c_str();
    }
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(tools->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ITalvenFileTools), S_OK);
}

TEST_F(ComponentTest, SizesSearchesAndCopies) {
    MakeTree(folder, L"tree");
    const std::wstring tree = folder.Child(L"tree");
    TraceTestSupport::DebuggerCapture capture; // traced at level 2, not at 0
    EXPECT_EQ(tools->Trace(2), S_OK);
    EXPECT_EQ(Size(tree, VARIANT_FALSE), 8);
    EXPECT_EQ(tools->Trace(0), S_OK);
    EXPECT_EQ(Size(tree), 26);
    const std::vector<std::string> lines = capture.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "TalvenFileTools: FolderSize"), 1);
    // The array a search comes back in (the script clients check a recursive one).
    EXPECT_EQ(Find(tree, L"*", VARIANT_FALSE),
              (std::vector<std::wstring>{L"a.txt", L"b.log", L"sub"}));
    EXPECT_TRUE(Find(tree, L"none*", VARIANT_TRUE).empty());
    // A whole copy; one cancelled halfway, with its progress up to the cancel, and a failed one
    // leave no target; an existing target is refused.
    const auto copies = [&](const wchar_t* target, HRESULT result, bool made, IDispatch* routine) {
        const std::wstring to = folder.Child(target);
        EXPECT_EQ(Copy(tree, to, routine), result) << target;
        EXPECT_EQ(::GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES, made) << target;
        EXPECT_TRUE(!made || Size(to) == 26) << target;
    };
    Progress progress;
    copies(L"copy", S_OK, true, nullptr);
    copies(L"cancelled", HRESULT_FROM_WIN32(ERROR_REQUEST_ABORTED), false, &progress);
    copies(L"copy", HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), true, nullptr);
    copies(L"missing\\target", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), false, nullptr);
    EXPECT_TRUE(std::is_sorted(progress.fractions.begin(), progress.fractions.end()));
    EXPECT_EQ(progress.fractions.back(), 0.5);
}

TEST_F(ComponentTest, ErrorsInTheSelectedLanguage) {
    const std::wstring missing = folder.Child(L"missing");
    const struct {
        const wchar_t *language, *message;
    } rows[] = {{L"DEU", L"Dateipfad nicht gefunden: "},
                {L"FRA", L"chemin de fichier introuvable: "},
                {L"ENU", L"file path not found: "},
                {L"XYZ", L"unknown language code: XYZ"}};
    for (const auto& row : rows) {
        const bool known = row.language != std::wstring(L"XYZ");
        Bstr current, text;
        ComPtr<IErrorInfo> info;
        double bytes = 0;
        EXPECT_EQ(tools->put_Language(Bstr(row.language).value), known ? S_OK : E_INVALIDARG);
        EXPECT_TRUE(!known || tools->FolderSize(Bstr(missing).value, VARIANT_TRUE, &bytes) ==
                                  HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
        ASSERT_EQ(::GetErrorInfo(0, info.Put()), S_OK) << row.language;
        info->GetDescription(&text.value);
        EXPECT_EQ(text.Text(), row.message + (known ? missing : L""));
        EXPECT_EQ(tools->get_Language(&current.value), S_OK);
        EXPECT_EQ(current.Text(), known ? row.language : L"ENU");
    }
}

// Eight threads of the multithreaded apartment share one object, each on a tree of its own.
TEST_F(ComponentTest, ThreadsCallAtOnce) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        const std::wstring root = folder.Child(L"t" + std::to_wstring(t));
        MakeTree(folder, L"t" + std::to_wstring(t), t);
        threads.emplace_back([&, t, root] {
            ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int round = 0; round < 5; ++round) {
                const std::wstring copy = root + L"-" + std::to_wstring(round);
                wrong += Size(root) != 26 + 4 * t || Find(root, L"*.txt", VARIANT_TRUE).size() != 3;
                wrong += Copy(root, copy) != S_OK || Size(copy) != 26 + 4 * t;
            }
            ::CoUninitialize();
        });
    }
    std::for_each(threads.begin(), threads.end(), [](std::thread& thread) { thread.join(); });
    EXPECT_EQ(wrong.load(), 0);
}

// This process's threads and the lowest free thread-local slot.
std::pair<long, DWORD> ThreadsAndFreeSlot() {
    std::pair<long, DWORD> result{0, ::TlsAlloc()};
    ::TlsFree(result.second);
    Win32Res::FileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Thread32First(snapshot.Get(), &entry); more;
         more = ::Thread32Next(snapshot.Get(), &entry)) {
        result.first += entry.th32OwnerProcessID == ::GetCurrentProcessId();
    }
    return result;
}

// Each cycle loads the DLL, starts the library in it, uses its temporary folder (inside this
// test's folder, through TMP) and unloads it again; nothing may stay behind.
TEST_F(ComponentTest, UnloadsCleanlyEveryTime) {
    tools.Reset();
    MakeTree(folder, L"tree");
    const std::wstring temp = folder.Child(L"temp");
    ::CreateDirectoryW(temp.c_str(), nullptr);
    wchar_t savedTmp[MAX_PATH] = {};
    const DWORD hadTmp = ::GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
    const auto cycle = [&](int n) {
        ASSERT_TRUE(tools = Create());
        EXPECT_EQ(Copy(folder.Child(L"tree"), folder.Child(L"copy" + std::to_wstring(n))), S_OK);
        ::CoFreeUnusedLibrariesEx(0, 0); // not while an object lives
        ASSERT_NE(::GetModuleHandleW(L"TalvenFileTools.dll"), nullptr);
        tools.Reset();
        ::CoFreeUnusedLibrariesEx(0, 0);
        ASSERT_EQ(::GetModuleHandleW(L"TalvenFileTools.dll"), nullptr) << "cycle " << n;
    };
    cycle(0); // what COM and the loader set up once
    const TalvenTest::HandleLeakCheck handles;
    const std::pair<long, DWORD> before = ThreadsAndFreeSlot();
    for (int n = 1; n <= 200 && !HasFatalFailure(); ++n) {
        cycle(n);
    }
    handles.Expect("200 loads of the component");
    EXPECT_EQ(ThreadsAndFreeSlot(), before);
    EXPECT_TRUE(::RemoveDirectoryW(temp.c_str())) << "the component left its temporary folder";
    ::SetEnvironmentVariableW(L"TMP", hadTmp ? savedTmp : nullptr);
}

} // namespace

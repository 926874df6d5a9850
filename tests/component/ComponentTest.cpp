// The example component TalvenFileTools.dll in its real setting: this host creates it through
// COM by its ProgID (registered by the CTest fixture with regsvr32) and calls every member,
// from many threads at once, and loads and unloads it again and again.
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

// The description of the calling thread's error information.
std::wstring ErrorText() {
    ComPtr<IErrorInfo> info;
    Bstr text;
    if (::GetErrorInfo(0, info.Put()) == S_OK) {
        info->GetDescription(&text.value);
    }
    return text.Text();
}

// A progress routine as a script hands it in: an IDispatch called through its default member
// with the fraction and the text. Records them, and answers true (cancel) from cancelAt on.
struct Progress : IDispatch {
    double cancelAt = 2;
    std::vector<double> fractions;
    std::wstring lastText;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == IID_IDispatch ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        // Arguments arrive last first.
        if (id != DISPID_VALUE || !(flags & DISPATCH_METHOD) || params->cArgs != 2 ||
            params->rgvarg[1].vt != VT_R8 || params->rgvarg[0].vt != VT_BSTR) {
            return DISP_E_BADPARAMCOUNT;
        }
        fractions.push_back(params->rgvarg[1].dblVal);
        lastText = params->rgvarg[0].bstrVal;
        result->vt = VT_BOOL;
        result->boolVal = fractions.back() >= cancelAt ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
};

class ComponentTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ::CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    static void TearDownTestSuite() { ::CoUninitialize(); }
    void SetUp() override { ASSERT_TRUE(tools = Create()); }

    static ComPtr<ITalvenFileTools> Create() {
        CLSID clsid = {}; // left empty on failure, which CoCreateInstance then reports
        ComPtr<ITalvenFileTools> created;
        ::CLSIDFromProgID(L"Talven.FileTools", &clsid);
        EXPECT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITalvenFileTools,
                                     created.PutVoid()),
                  S_OK);
        return created;
    }
    // Without progress, the routine is left out as a script leaves it out.
    HRESULT Copy(const std::wstring& from, const std::wstring& to, IDispatch* progress = nullptr) {
        VARIANT routine;
        routine.vt = VT_ERROR;
        routine.scode = DISP_E_PARAMNOTFOUND;
        if (progress) {
            routine.vt = VT_DISPATCH;
            routine.pdispVal = progress;
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
                paths.push_back(path.rfind(root + L"\\", 0) == 0 ? path.substr(root.size() + 1)
                                                                 : path);
            }
            ::SafeArrayUnaccessData(found.parray);
        }
        EXPECT_EQ(found.vt, VT_ARRAY | VT_VARIANT);
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
    const struct {
        std::wstring key;
        const wchar_t* name;
        std::wstring value;
    } keys[] = {{L"Talven.FileTools\\CLSID", nullptr, clsid.substr(6)},
                {clsid + L"\\ProgID", nullptr, L"Talven.FileTools"},
                {clsid + L"\\InprocServer32", nullptr, loaded},
                {clsid + L"\\InprocServer32", L"ThreadingModel", L"Both"},
                {clsid + L"\\TypeLib", nullptr, L"{387CA61E-EE06-41EC-B955-E17CCB7613FB}"}};
    for (const auto& key : keys) {
        wchar_t value[MAX_PATH] = {};
        DWORD size = sizeof(value);
        EXPECT_EQ(::RegGetValueW(HKEY_CLASSES_ROOT, key.key.c_str(), key.name, RRF_RT_REG_SZ,
                                 nullptr, value, &size),
                  ERROR_SUCCESS)
            << key.key.c_str();
        EXPECT_EQ(std::wstring(value), key.value) << key.key.c_str();
    }
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(tools->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ITalvenFileTools), S_OK);
}

TEST_F(ComponentTest, SizesSearchesAndCopies) {
    MakeTree(folder, L"tree");
    const std::wstring tree = folder.Child(L"tree");
    {
        // Traced at level 2, not at 0.
        TraceTestSupport::DebuggerCapture capture;
        EXPECT_EQ(tools->Trace(2), S_OK);
        EXPECT_EQ(Size(tree, VARIANT_FALSE), 8);
        EXPECT_EQ(tools->Trace(0), S_OK);
        EXPECT_EQ(Size(tree), 26);
        const std::vector<std::string> lines = capture.Lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "TalvenFileTools: FolderSize"), 1);
    }
    const struct {
        const wchar_t* pattern;
        VARIANT_BOOL recursive;
        std::vector<std::wstring> expected;
    } searches[] = {{L"*.txt", VARIANT_FALSE, {L"a.txt"}},
                    {L"*.txt", VARIANT_TRUE, {L"a.txt", L"sub\\c.txt", L"sub\\deep\\d.txt"}},
                    {L"*", VARIANT_FALSE, {L"a.txt", L"b.log", L"sub"}},
                    {L"none*", VARIANT_TRUE, {}}};
    for (const auto& search : searches) {
        EXPECT_EQ(Find(tree, search.pattern, search.recursive), search.expected) << search.pattern;
    }
    // A whole copy (with a routine or none) reports from 0 to 1; one cancelled halfway and a
    // failed one leave no target; an existing target is refused.
    const struct {
        const wchar_t* target;
        double cancelAt; // < 0: no routine
        HRESULT result;
        bool made;
    } copies[] = {{L"copy", 2.0, S_OK, true},
                  {L"quiet", -1, S_OK, true},
                  {L"cancelled", 0.5, HRESULT_FROM_WIN32(ERROR_REQUEST_ABORTED), false},
                  {L"copy", 2.0, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), true},
                  {L"missing\\target", 2.0, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), false}};
    for (const auto& copy : copies) {
        SCOPED_TRACE(copy.target);
        Progress progress;
        progress.cancelAt = copy.cancelAt;
        const std::wstring target = folder.Child(copy.target);
        EXPECT_EQ(Copy(tree, target, copy.cancelAt < 0 ? nullptr : &progress), copy.result);
        EXPECT_EQ(::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES, copy.made);
        EXPECT_TRUE(!copy.made || Size(target) == 26);
        if (copy.cancelAt >= 0 && copy.result == S_OK) {
            EXPECT_EQ(progress.fractions.back(), 1.0);
            EXPECT_TRUE(std::is_sorted(progress.fractions.begin(), progress.fractions.end()));
            EXPECT_NE(progress.lastText.find(L"d.txt"), std::wstring::npos);
        } else if (copy.cancelAt < 1 && copy.cancelAt >= 0) {
            EXPECT_EQ(progress.fractions.back(), 0.5);
        }
    }
}

TEST_F(ComponentTest, ErrorsInTheSelectedLanguage) {
    const std::wstring missing = folder.Child(L"missing");
    const struct {
        const wchar_t *language, *message;
    } languages[] = {{L"DEU", L"Dateipfad nicht gefunden"},
                     {L"FRA", L"chemin de fichier introuvable"},
                     {L"ENU", L"file path not found"}};
    for (const auto& language : languages) {
        Bstr current;
        double bytes = 0;
        EXPECT_EQ(tools->put_Language(Bstr(language.language).value), S_OK);
        EXPECT_EQ(tools->get_Language(&current.value), S_OK);
        EXPECT_EQ(current.Text(), language.language);
        EXPECT_EQ(tools->FolderSize(Bstr(missing).value, VARIANT_TRUE, &bytes),
                  HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
        EXPECT_EQ(ErrorText(), std::wstring(language.message) + L": " + missing);
    }
    EXPECT_EQ(tools->put_Language(Bstr(L"XYZ").value), E_INVALIDARG);
    EXPECT_EQ(ErrorText(), L"unknown language code: XYZ");
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
                wrong += Size(root) != 26 + 4 * t;
                wrong += Find(root, L"*.txt", VARIANT_TRUE).size() != 3;
                wrong += Copy(root, copy) != S_OK || Size(copy) != 26 + 4 * t;
            }
            ::CoUninitialize();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

long ThreadCount() {
    long count = 0;
    Win32Res::FileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Thread32First(snapshot.Get(), &entry); more;
         more = ::Thread32Next(snapshot.Get(), &entry)) {
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId();
    }
    return count;
}

// The lowest free thread-local slot: one the DLL failed to free would move it.
DWORD FreeTlsSlot() {
    const DWORD slot = ::TlsAlloc();
    ::TlsFree(slot);
    return slot;
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
    const long threads = ThreadCount();
    const DWORD slot = FreeTlsSlot();
    for (int n = 1; n <= 200 && !HasFatalFailure(); ++n) {
        cycle(n);
    }
    handles.Expect("200 loads of the component");
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(FreeTlsSlot(), slot);
    WIN32_FIND_DATAW data;
    Win32Res::FindHandle find(::FindFirstFileW((temp + L"\\Talven*").c_str(), &data));
    EXPECT_FALSE(find) << "the component left its temporary folder";
    ::SetEnvironmentVariableW(L"TMP", hadTmp ? savedTmp : nullptr);
}

} // namespace

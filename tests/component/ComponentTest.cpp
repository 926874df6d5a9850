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

const wchar_t* const Dll = L"TalvenFileTools.dll";

struct Bstr {
    explicit Bstr(const std::wstring& text) : value(::SysAllocString(text.c_str())) {}
    Bstr() = default;
    ~Bstr() { ::SysFreeString(value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    std::wstring Text() const { return value ? value : L""; }
    BSTR value = nullptr;
};

// The files of a small tree and their sizes: 8 bytes at the top, 26 in all.
const struct {
    const wchar_t* name;
    int size;
} TreeFiles[] = {{L"a.txt", 3}, {L"b.log", 5}, {L"sub\\c.txt", 7}, {L"sub\\deep\\d.txt", 11}};

void MakeTree(const TalvenTest::TestFolder& folder, const std::wstring& root, int extra = 0) {
    for (const wchar_t* sub : {L"", L"\\sub", L"\\sub\\deep"}) {
        ::CreateDirectoryW(folder.Child(root + sub).c_str(), nullptr);
    }
    for (const auto& file : TreeFiles) {
        folder.WriteFile(root + L"\\" + file.name, std::string(file.size + extra, 'x'));
    }
}

// The paths of a FindFiles result, relative to base, sorted.
std::vector<std::wstring> Relative(VARIANT& found, const std::wstring& base) {
    std::vector<std::wstring> paths;
    EXPECT_EQ(found.vt, VT_ARRAY | VT_VARIANT);
    if (found.vt != (VT_ARRAY | VT_VARIANT)) {
        return paths;
    }
    LONG last = -1;
    ::SafeArrayGetUBound(found.parray, 1, &last);
    for (LONG i = 0; i <= last; ++i) {
        VARIANT element;
        ::VariantInit(&element);
        ::SafeArrayGetElement(found.parray, &i, &element);
        const std::wstring path = element.vt == VT_BSTR ? element.bstrVal : L"?";
        paths.push_back(path.compare(0, base.size() + 1, base + L"\\") == 0
                            ? path.substr(base.size() + 1)
                            : path);
        ::VariantClear(&element);
    }
    ::VariantClear(&found);
    std::sort(paths.begin(), paths.end());
    return paths;
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

VARIANT NoProgress() {
    VARIANT missing;
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    return missing;
}

// A progress routine as a script hands it in: an IDispatch called through its default member
// with the fraction and the text. Records the fractions, and answers true (cancel) from cancelAt
// on.
class Progress : public IDispatch {
public:
    explicit Progress(double cancelAt) : cancelAt_(cancelAt) {}
    std::vector<double> fractions;
    std::vector<std::wstring> texts;

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
        EXPECT_EQ(id, DISPID_VALUE);
        EXPECT_TRUE(flags & DISPATCH_METHOD);
        // Arguments arrive last first.
        if (params->cArgs != 2 || params->rgvarg[1].vt != VT_R8 ||
            params->rgvarg[0].vt != VT_BSTR) {
            return DISP_E_BADPARAMCOUNT;
        }
        fractions.push_back(params->rgvarg[1].dblVal);
        texts.push_back(params->rgvarg[0].bstrVal);
        result->vt = VT_BOOL;
        result->boolVal = fractions.back() >= cancelAt_ ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

private:
    double cancelAt_;
};

class ComponentTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ::CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    static void TearDownTestSuite() { ::CoUninitialize(); }

    static ComPtr<ITalvenFileTools> Create() {
        CLSID clsid = {};
        ComPtr<ITalvenFileTools> tools;
        EXPECT_EQ(::CLSIDFromProgID(L"Talven.FileTools", &clsid), S_OK);
        EXPECT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITalvenFileTools,
                                     tools.PutVoid()),
                  S_OK);
        return tools;
    }

    double Size(ITalvenFileTools* tools, const std::wstring& path, bool recursive) {
        double bytes = -1;
        EXPECT_EQ(
            tools->FolderSize(Bstr(path).value, recursive ? VARIANT_TRUE : VARIANT_FALSE, &bytes),
            S_OK);
        return bytes;
    }

    std::vector<std::wstring> Find(ITalvenFileTools* tools, const std::wstring& root,
                                   const wchar_t* pattern, bool recursive) {
        VARIANT found;
        ::VariantInit(&found);
        EXPECT_EQ(tools->FindFiles(Bstr(root).value, Bstr(pattern).value,
                                   recursive ? VARIANT_TRUE : VARIANT_FALSE, &found),
                  S_OK);
        return Relative(found, root);
    }

    TalvenTest::TestFolder folder;
};

TEST_F(ComponentTest, RegisteredClassFromItsOwnDll) {
    const ComPtr<ITalvenFileTools> tools = Create();
    ASSERT_TRUE(tools);
    Bstr version, path;
    EXPECT_EQ(tools->get_Version(&version.value), S_OK);
    EXPECT_EQ(version.Text(), TALVEN_VERSION_TEXT);
    // The DLL's path, not this program's: the library found its own module.
    wchar_t loaded[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(Dll), loaded, MAX_PATH);
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
    const ComPtr<ITalvenFileTools> tools = Create();
    ASSERT_TRUE(tools);
    MakeTree(folder, L"tree");
    const std::wstring tree = folder.Child(L"tree");
    EXPECT_EQ(Size(tools.Get(), tree, false), 8);
    EXPECT_EQ(Size(tools.Get(), tree, true), 26);
    const struct {
        const wchar_t* pattern;
        bool recursive;
        std::vector<std::wstring> expected;
    } searches[] = {
        {L"*.txt", false, {L"a.txt"}},
        {L"*.txt", true, {L"a.txt", L"sub\\c.txt", L"sub\\deep\\d.txt"}},
        {L"*", false, {L"a.txt", L"b.log", L"sub"}},
        {L"none*", true, {}},
    };
    for (const auto& search : searches) {
        EXPECT_EQ(Find(tools.Get(), tree, search.pattern, search.recursive), search.expected)
            << search.pattern;
    }

    // A whole copy reports from 0 to 1; a copy cancelled halfway and a failed one leave no
    // target; an existing target is refused.
    const struct {
        const wchar_t* target;
        double cancelAt;
        HRESULT result;
        double size; // of the target afterwards, -1 for none
    } copies[] = {
        {L"copy", 2.0, S_OK, 26},
        {L"cancelled", 0.5, HRESULT_FROM_WIN32(ERROR_REQUEST_ABORTED), -1},
        {L"copy", 2.0, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), 26},
        {L"missing\\target", 2.0, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), -1},
    };
    for (const auto& copy : copies) {
        Progress progress(copy.cancelAt);
        VARIANT routine;
        routine.vt = VT_DISPATCH;
        routine.pdispVal = &progress;
        const std::wstring target = folder.Child(copy.target);
        EXPECT_EQ(tools->CopyFolder(Bstr(tree).value, Bstr(target).value, routine), copy.result)
            << copy.target;
        EXPECT_EQ(::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES, copy.size >= 0)
            << copy.target;
        if (copy.result == S_OK) {
            EXPECT_EQ(Size(tools.Get(), target, true), copy.size);
            EXPECT_EQ(progress.fractions.back(), 1.0);
            EXPECT_TRUE(std::is_sorted(progress.fractions.begin(), progress.fractions.end()));
            EXPECT_NE(progress.texts.back().find(L"d.txt"), std::wstring::npos);
        } else if (copy.cancelAt < 1) {
            EXPECT_EQ(progress.fractions.back(), 0.5);
        }
    }
    // Without a progress routine.
    EXPECT_EQ(tools->CopyFolder(Bstr(tree).value, Bstr(folder.Child(L"quiet")).value, NoProgress()),
              S_OK);
    EXPECT_EQ(Size(tools.Get(), folder.Child(L"quiet"), true), 26);
}

TEST_F(ComponentTest, ErrorsInTheSelectedLanguage) {
    const ComPtr<ITalvenFileTools> tools = Create();
    ASSERT_TRUE(tools);
    const std::wstring missing = folder.Child(L"missing");
    const struct {
        const wchar_t* language;
        const wchar_t* message;
    } languages[] = {{L"DEU", L"Dateipfad nicht gefunden"},
                     {L"FRA", L"chemin de fichier introuvable"},
                     {L"ENU", L"file path not found"}};
    for (const auto& language : languages) {
        Bstr current;
        EXPECT_EQ(tools->put_Language(Bstr(language.language).value), S_OK);
        EXPECT_EQ(tools->get_Language(&current.value), S_OK);
        EXPECT_EQ(current.Text(), language.language);
        double bytes = 0;
        EXPECT_EQ(tools->FolderSize(Bstr(missing).value, VARIANT_TRUE, &bytes),
                  HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
        EXPECT_EQ(ErrorText(), std::wstring(language.message) + L": " + missing);
    }
    EXPECT_EQ(tools->put_Language(Bstr(L"XYZ").value), E_INVALIDARG);
    EXPECT_EQ(ErrorText(), L"unknown language code: XYZ");
}

TEST_F(ComponentTest, TraceLevel) {
    const ComPtr<ITalvenFileTools> tools = Create();
    ASSERT_TRUE(tools);
    TraceTestSupport::DebuggerCapture capture;
    for (const LONG level : {2, 0}) {
        capture.Clear();
        EXPECT_EQ(tools->Trace(level), S_OK);
        Size(tools.Get(), folder.Path(), true);
        const std::vector<std::string> lines = capture.Lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "TalvenFileTools: FolderSize"),
                  level > 0 ? 1 : 0);
    }
}

// Eight threads of the multithreaded apartment share one object, each on a tree of its own.
TEST_F(ComponentTest, ThreadsCallAtOnce) {
    const ComPtr<ITalvenFileTools> tools = Create();
    ASSERT_TRUE(tools);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        const std::wstring root = L"t" + std::to_wstring(t);
        MakeTree(folder, root, t);
        threads.emplace_back([&, t, root] {
            ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            const double expected = 26 + 4 * t;
            for (int round = 0; round < 5; ++round) {
                const std::wstring copy = folder.Child(root + L"-" + std::to_wstring(round));
                wrong += Size(tools.Get(), folder.Child(root), true) != expected;
                wrong += Find(tools.Get(), folder.Child(root), L"*.txt", true).size() != 3;
                wrong += tools->CopyFolder(Bstr(folder.Child(root)).value, Bstr(copy).value,
                                           NoProgress()) != S_OK;
                wrong += Size(tools.Get(), copy, true) != expected;
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

// Each cycle loads the DLL, starts the library in it, uses its temporary folder and unloads it
// again; nothing may stay behind.
TEST_F(ComponentTest, UnloadsCleanlyEveryTime) {
    MakeTree(folder, L"tree");
    // The component's temporary folder, made inside this test's folder.
    const std::wstring temp = folder.Child(L"temp");
    ::CreateDirectoryW(temp.c_str(), nullptr);
    wchar_t savedTmp[MAX_PATH] = {};
    const DWORD hadTmp = ::GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
    const auto cycle = [&](int n) {
        ComPtr<ITalvenFileTools> tools = Create();
        ASSERT_TRUE(tools);
        const std::wstring copy = folder.Child(L"copy" + std::to_wstring(n));
        EXPECT_EQ(
            tools->CopyFolder(Bstr(folder.Child(L"tree")).value, Bstr(copy).value, NoProgress()),
            S_OK);
        // Not while an object lives.
        ::CoFreeUnusedLibrariesEx(0, 0);
        ASSERT_NE(::GetModuleHandleW(Dll), nullptr);
        tools.Reset();
        ::CoFreeUnusedLibrariesEx(0, 0);
        ASSERT_EQ(::GetModuleHandleW(Dll), nullptr) << "cycle " << n;
    };
    cycle(0); // what COM and the loader set up once
    const TalvenTest::HandleLeakCheck handles;
    const long threads = ThreadCount();
    const DWORD slot = ::TlsAlloc(); // the lowest free slot
    ::TlsFree(slot);
    for (int n = 1; n <= 200 && !HasFatalFailure(); ++n) {
        cycle(n);
    }
    handles.Expect("200 loads of the component");
    EXPECT_EQ(ThreadCount(), threads);
    const DWORD slotAfter = ::TlsAlloc();
    ::TlsFree(slotAfter);
    EXPECT_EQ(slotAfter, slot);
    WIN32_FIND_DATAW data;
    Win32Res::FindHandle find(::FindFirstFileW((temp + L"\\Talven*").c_str(), &data));
    EXPECT_FALSE(find) << "the component left its temporary folder";
    ::SetEnvironmentVariableW(L"TMP", hadTmp ? savedTmp : nullptr);
}

} // namespace

// The DLL's entry points: DllMain, the class factory, DllGetClassObject, DllCanUnloadNow and
// the registration under HKEY_CLASSES_ROOT, with the library's start-up and shut-down.
#include "Module.h"

#include "FileTools.h"

#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"
#include "Private/Windows/FileSystem_Utilities_Win32.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "Private/Windows/Win32Handle.h"
#include "support/Trace.h"

#include "TalvenFileTools.h"

#include <atomic>
#include <new>
#include <string>

namespace {

HMODULE module = nullptr;
std::atomic<long> objects{0};
std::atomic<long> locks{0};

// Guards the start-up state and the kept type information. Slim locks need no set-up or
// clean-up, so none runs under the loader lock.
SRWLOCK moduleLock = SRWLOCK_INIT;
SRWLOCK languageLock = SRWLOCK_INIT;
bool started = false;
ITypeInfo* typeInfo = nullptr;

class ExclusiveGuard {
public:
    explicit ExclusiveGuard(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveGuard() { ::ReleaseSRWLockExclusive(&lock_); }
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

private:
    SRWLOCK& lock_;
};

// The library's shut-down: the private temporary folder goes, the volume table and API table
// are freed, the trace falls silent. Runs with moduleLock held.
void ShutDown() noexcept {
    if (typeInfo != nullptr) {
        typeInfo->Release();
        typeInfo = nullptr;
    }
    if (started) {
        FileSystem_Win32::Uninstall();
        UTrace::shutdown();
        started = false;
    }
}

class ClassFactory : public IClassFactory {
public:
    ClassFactory() { FileToolsModule::ObjectCreated(); }
    virtual ~ClassFactory() { FileToolsModule::ObjectDestroyed(); }
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return FileTools::Create(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        FileToolsModule::Lock(lock != FALSE);
        return S_OK;
    }

private:
    std::atomic<ULONG> references_{1};
};

// Registration writes the ProgID's and the class's keys, and has the type library write its
// own and the interface's; unregistration removes these four trees.
const wchar_t* const ProgId = L"Talven.FileTools";
const wchar_t* const Description = L"Talven file tools";

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

struct RegistryValue {
    std::wstring key;
    const wchar_t* name;
    std::wstring data;
};

std::wstring ModulePath() {
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size())));
    return path;
}

HRESULT DeleteKey(const std::wstring& key) {
    const LSTATUS status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK
                                                                     : HRESULT_FROM_WIN32(status);
}

// Runs the DLL's own TLS callbacks for the calling thread as if it were ending. The threads
// runtime linked into the DLL keeps per-thread state (a duplicated thread handle and an event)
// for every thread that entered it, and frees that state only when the thread ends: a DLL
// unloaded from a thread that goes on would leak both on every load.
void EndThreadState() {
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    if (entry.VirtualAddress == 0) {
        return;
    }
    const auto* tls = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(base + entry.VirtualAddress);
    for (auto* callback = reinterpret_cast<const PIMAGE_TLS_CALLBACK*>(tls->AddressOfCallBacks);
         callback != nullptr && *callback != nullptr; ++callback) {
        (*callback)(module, DLL_THREAD_DETACH, nullptr);
    }
}

} // namespace

namespace FileToolsModule {

void ObjectCreated() {
    ++objects;
}

void ObjectDestroyed() {
    --objects;
}

void Lock(bool lock) {
    if (lock) {
        ++locks;
    } else {
        --locks;
    }
}

void Start() {
    ExclusiveGuard guard(moduleLock);
    if (!started) {
        FileSystem_Win32::Install();
        started = true;
    }
}

FileSpec NewStagingFolder() {
    // GetTempFolder and the choice of a free name are not locked by the library.
    ExclusiveGuard guard(moduleLock);
    const FileSpec folder =
        FileSystem::MakeUniqueChild(FileSystem::GetTempFolder(), FilePath("copy"), FilePath());
    folder.CreateFolder();
    return folder;
}

HRESULT TypeInfo(ITypeInfo** info) {
    ExclusiveGuard guard(moduleLock);
    if (typeInfo == nullptr) {
        Win32Res::ComPtr<ITypeLib> library;
        HRESULT hr = ::LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, library.Put());
        if (SUCCEEDED(hr)) {
            hr = library->GetTypeInfoOfGuid(IID_ITalvenFileTools, &typeInfo);
        }
        if (FAILED(hr)) {
            return hr;
        }
    }
    typeInfo->AddRef();
    *info = typeInfo;
    return S_OK;
}

void SetTraceLevel(long level) {
    ExclusiveGuard guard(moduleLock);
    UTrace::init();
    UTrace::setComponent("TalvenFileTools");
    UTrace::setFlags(1); // the debugger, and only the levels asked for
    UTrace::setLevel(level);
}

SRWLOCK& LanguageLock() {
    return languageLock;
}

} // namespace FileToolsModule

// Only the module handle is kept here. Everything else waits for the first object, because
// under the loader lock no other DLL may be loaded and no thread waited for, which the
// library's start-up and COM calls might do.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        module = instance;
    } else if (reason == DLL_PROCESS_DETACH && ::TryAcquireSRWLockExclusive(&moduleLock)) {
        // Reached with the library still started when the host frees the DLL without asking
        // DllCanUnloadNow, or ends the process with the DLL loaded (script hosts do). The
        // temporary folder must not outlive the process, and the shut-down only deletes files
        // and frees memory, which loads no DLL and waits for no thread. At process end other
        // threads were stopped wherever they were: the lock is only tried, so that one stopped
        // inside the start-up or shut-down makes this one skip, and the type information is
        // left alone, since COM may be gone already.
        if (reserved != nullptr) {
            typeInfo = nullptr;
        }
        ShutDown();
        ::ReleaseSRWLockExclusive(&moduleLock);
        if (reserved == nullptr) {
            EndThreadState();
        }
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (clsid != CLSID_FileTools) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    ClassFactory* factory = new (std::nothrow) ClassFactory();
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

// COM asks this before it frees the DLL, outside the loader lock: the place for the library's
// shut-down. A yes may still be followed by new objects (when COM keeps the DLL a while
// longer); the first of them starts the library again.
STDAPI DllCanUnloadNow() {
    ExclusiveGuard guard(moduleLock);
    if (objects.load() != 0 || locks.load() != 0) {
        return S_FALSE;
    }
    ShutDown();
    return S_OK;
}

namespace {

HRESULT Unregister();

HRESULT Register() {
    const std::wstring clsid = L"CLSID\\" + GuidText(CLSID_FileTools);
    const RegistryValue values[] = {
        {ProgId, nullptr, Description},
        {std::wstring(ProgId) + L"\\CLSID", nullptr, GuidText(CLSID_FileTools)},
        {clsid, nullptr, Description},
        {clsid + L"\\ProgID", nullptr, ProgId},
        {clsid + L"\\InprocServer32", nullptr, ModulePath()},
        {clsid + L"\\InprocServer32", L"ThreadingModel", L"Both"},
        {clsid + L"\\TypeLib", nullptr, GuidText(LIBID_TalvenFileToolsLib)},
    };
    for (const RegistryValue& value : values) {
        const LSTATUS status = ::RegSetKeyValueW(
            HKEY_CLASSES_ROOT, value.key.c_str(), value.name, REG_SZ, value.data.c_str(),
            static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t)));
        if (status != ERROR_SUCCESS) {
            Unregister();
            return HRESULT_FROM_WIN32(status);
        }
    }
    // The type library's keys, and the interface's, so that it can be marshalled.
    Win32Res::ComPtr<ITypeLib> library;
    const HRESULT hr = ::LoadTypeLibEx(ModulePath().c_str(), REGKIND_REGISTER, library.Put());
    if (FAILED(hr)) {
        Unregister();
        return hr;
    }
    return S_OK;
}

HRESULT Unregister() {
    // Every step runs, also after one has failed, so that as much as possible goes.
    const HRESULT removed[] = {
        DeleteKey(ProgId),
        DeleteKey(L"CLSID\\" + GuidText(CLSID_FileTools)),
        // What registering the type library wrote: its own keys and the interface's.
        DeleteKey(L"TypeLib\\" + GuidText(LIBID_TalvenFileToolsLib)),
        DeleteKey(L"Interface\\" + GuidText(IID_ITalvenFileTools)),
    };
    for (const HRESULT hr : removed) {
        if (FAILED(hr)) {
            return hr;
        }
    }
    return S_OK;
}

} // namespace

STDAPI DllRegisterServer() {
    try {
        return Register();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllUnregisterServer() {
    try {
        return Unregister();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

// The COM object: each method turns its arguments into library values, calls the library,
// and turns every exception into a failed HRESULT with an IErrorInfo, so none crosses COM.
#include "FileTools.h"

#include "Module.h"

#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"
#include "Private/Windows/FileSystem_ErrorTable.h"
#include "support/TalvenException.h"
#include "support/TalvenText.h"
#include "support/Trace.h"
#include "support/Win32Handle.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace {

const char* const Component = "TalvenFileTools";

// Owns a BSTR until it is handed out.
class Bstr {
public:
    explicit Bstr(const std::wstring& text)
        : value_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
        if (value_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~Bstr() { ::SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR Get() const { return value_; }
    BSTR Release() { return std::exchange(value_, nullptr); }

private:
    BSTR value_;
};

struct SafeArrayDeleter {
    void operator()(SAFEARRAY* array) const { ::SafeArrayDestroy(array); }
};

// A failure reported by the client's progress routine, passed on as it came.
struct ClientFailure {
    HRESULT hr;
    std::wstring description;
};

std::wstring Wide(BSTR text) {
    return text == nullptr ? std::wstring() : std::wstring(text, ::SysStringLen(text));
}

FileSpec Spec(BSTR path) {
    return FileSpec(FilePath(Wide(path)));
}

HRESULT SetError(HRESULT hr, const std::wstring& description) noexcept {
    Win32Res::ComPtr<ICreateErrorInfo> create;
    Win32Res::ComPtr<IErrorInfo> info;
    if (SUCCEEDED(::CreateErrorInfo(create.Put())) &&
        SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.PutVoid()))) {
        create->SetGUID(IID_ITalvenFileTools);
        create->SetSource(const_cast<LPOLESTR>(L"Talven.FileTools"));
        create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        ::SetErrorInfo(0, info.Get());
    }
    return hr;
}

// The HRESULT of the OS error behind an exception, E_FAIL when there is none.
HRESULT OsResult(const TalvenException* e) {
    if (const auto* win32 = dynamic_cast<const SystemException::Win32*>(e)) {
        return HRESULT_FROM_WIN32(win32->number());
    }
    if (const auto* com = dynamic_cast<const SystemException::HRESULT*>(e)) {
        return static_cast<HRESULT>(com->number());
    }
    return E_FAIL;
}

// Called inside a catch block: the HRESULT and IErrorInfo of the exception being handled.
HRESULT Translate(const char* method) noexcept {
    try {
        try {
            throw;
        } catch (const FileException& e) {
            UTrace::traceExceptionComponent(Component, e, method);
            std::wstring text = TextConvert::Utf8ToWide(e.message());
            if (!e.path().empty()) {
                text += L": " + TextConvert::Utf8ToWide(e.path());
            }
            return SetError(OsResult(e.cause()), text);
        } catch (const TalvenException& e) {
            UTrace::traceExceptionComponent(Component, e, method);
            return SetError(OsResult(&e), TextConvert::Utf8ToWide(e.message()));
        } catch (const ClientFailure& failure) {
            return SetError(failure.hr, failure.description);
        } catch (const std::bad_alloc&) {
            return SetError(E_OUTOFMEMORY,
                            TextConvert::Utf8ToWide(TalvenException(std::bad_alloc()).message()));
        } catch (const std::exception& e) {
            // The library's "runtime error: %0", in the selected language.
            return SetError(E_FAIL, TextConvert::Utf8ToWide(TalvenException(e).message()));
        }
    } catch (...) {
        // Also what the translation itself raised (memory).
        return E_UNEXPECTED;
    }
}

// Holds the language lock shared for one call; released while the client is called back, so
// that the client may select a language from there.
class SharedCall {
public:
    SharedCall() { Lock(); }
    ~SharedCall() { Unlock(); }
    SharedCall(const SharedCall&) = delete;
    SharedCall& operator=(const SharedCall&) = delete;
    void Lock() {
        ::AcquireSRWLockShared(&FileToolsModule::LanguageLock());
        held_ = true;
    }
    void Unlock() {
        if (held_) {
            held_ = false;
            ::ReleaseSRWLockShared(&FileToolsModule::LanguageLock());
        }
    }

private:
    bool held_ = false;
};

// Runs one method: clears the thread's error information, traces the call and translates what
// the body raises.
template <class Body>
HRESULT Call(const char* method, Body&& body) noexcept {
    ::SetErrorInfo(0, nullptr);
    try {
        SharedCall call;
        UTrace::trace2Component(Component, "%s", method);
        body(call);
        return S_OK;
    } catch (...) {
        return Translate(method);
    }
}

// Passes the library's progress to the client's routine as one fraction over all files: the
// library reports each file from 0 to 1 and names it in the text.
class ClientProgress : public TickleImplBase {
public:
    ClientProgress(IDispatch* routine, std::size_t files, SharedCall& call)
        : routine_(routine), files_(files == 0 ? 1 : files), call_(call) {}

    void SetText(const TalvenTextArgs& text) override {
        ByteString resolved;
        text.text(resolved);
        text_ = TextConvert::Utf8ToWide(resolved);
        ++file_;
        Report(0.0);
    }
    void SetProgress(double position) override {
        // The start of each file (0) comes just before its text, which reports it.
        if (file_ > 0 && position > 0.0) {
            Report(position);
        }
    }
    void Refresh() override {}

private:
    void Report(double position) {
        VARIANTARG arguments[2]; // in reverse order: the text, then the fraction
        ::VariantInit(&arguments[0]);
        ::VariantInit(&arguments[1]);
        Bstr text(text_);
        arguments[0].vt = VT_BSTR;
        arguments[0].bstrVal = text.Get();
        arguments[1].vt = VT_R8;
        // Files added to the source meanwhile must not take the fraction past 1.
        arguments[1].dblVal = std::min(1.0, (double(file_ - 1) + position) / double(files_));
        DISPPARAMS parameters = {arguments, nullptr, 2, 0};
        VARIANT result;
        ::VariantInit(&result);
        EXCEPINFO exception = {};
        call_.Unlock();
        HRESULT hr = routine_->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                      &parameters, &result, &exception, nullptr);
        call_.Lock();
        if (FAILED(hr)) {
            ClientFailure failure{hr, Wide(exception.bstrDescription)};
            if (hr == DISP_E_EXCEPTION) {
                failure.hr = exception.scode != 0 ? exception.scode : E_FAIL;
            }
            ::SysFreeString(exception.bstrSource);
            ::SysFreeString(exception.bstrDescription);
            ::SysFreeString(exception.bstrHelpFile);
            throw failure;
        }
        if (SUCCEEDED(::VariantChangeType(&result, &result, 0, VT_BOOL)) &&
            result.boolVal != VARIANT_FALSE) {
            cancelled_ = true;
        }
        ::VariantClear(&result);
    }

    IDispatch* routine_;
    std::size_t files_;
    SharedCall& call_;
    std::size_t file_ = 0;
    std::wstring text_;
};

// The progress routine a VARIANT argument holds, or null when it holds none (an omitted
// optional argument arrives as VT_ERROR).
IDispatch* Routine(const VARIANT& progress) {
    switch (progress.vt) {
    case VT_DISPATCH:
        return progress.pdispVal;
    case VT_DISPATCH | VT_BYREF:
        return progress.ppdispVal != nullptr ? *progress.ppdispVal : nullptr;
    case VT_EMPTY:
    case VT_NULL:
    case VT_ERROR:
        return nullptr;
    default:
        throw ClientFailure{E_INVALIDARG, L"progress: a function or object expected"};
    }
}

} // namespace

HRESULT FileTools::Create(REFIID iid, void** out) {
    Win32Res::ComPtr<ITypeInfo> typeInfo;
    try {
        FileToolsModule::Start();
        const HRESULT loaded = FileToolsModule::TypeInfo(typeInfo.Put());
        if (FAILED(loaded)) {
            return loaded;
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    FileTools* object = new (std::nothrow) FileTools(std::move(typeInfo));
    if (object == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

FileTools::FileTools(Win32Res::ComPtr<ITypeInfo> typeInfo) : typeInfo_(std::move(typeInfo)) {
    FileToolsModule::ObjectCreated();
}

FileTools::~FileTools() {
    // Released before the count drops: once it is zero the DLL may be unloaded.
    typeInfo_.Reset();
    FileToolsModule::ObjectDestroyed();
}

HRESULT FileTools::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_ITalvenFileTools) {
        *out = static_cast<ITalvenFileTools*>(this);
    } else if (iid == IID_ISupportErrorInfo) {
        *out = static_cast<ISupportErrorInfo*>(this);
    } else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG FileTools::AddRef() {
    return ++references_;
}

ULONG FileTools::Release() {
    const ULONG left = --references_;
    if (left == 0) {
        delete this;
    }
    return left;
}

HRESULT FileTools::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = 1;
    return S_OK;
}

HRESULT FileTools::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    *info = nullptr;
    if (index != 0) {
        return DISP_E_BADINDEX;
    }
    typeInfo_->AddRef();
    *info = typeInfo_.Get();
    return S_OK;
}

HRESULT FileTools::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    return ::DispGetIDsOfNames(typeInfo_.Get(), names, count, ids);
}

HRESULT FileTools::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                          EXCEPINFO* exception, UINT* argumentError) {
    return ::DispInvoke(static_cast<ITalvenFileTools*>(this), typeInfo_.Get(), id, flags, params,
                        result, exception, argumentError);
}

HRESULT FileTools::get_Version(BSTR* version) {
    if (version == nullptr) {
        return E_POINTER;
    }
    return Call("Version", [&](SharedCall&) {
        *version =
            Bstr(TextConvert::Utf8ToWide(TextConvert::Bytes(TALVEN_FILETOOLS_VERSION))).Release();
    });
}

HRESULT FileTools::get_ModulePath(BSTR* path) {
    if (path == nullptr) {
        return E_POINTER;
    }
    return Call("ModulePath", [&](SharedCall&) {
        *path = Bstr(TextConvert::Utf8ToWide(FileSystem::GetModuleFile().GetPath().GetBytes()))
                    .Release();
    });
}

HRESULT FileTools::get_Language(BSTR* code) {
    if (code == nullptr) {
        return E_POINTER;
    }
    return Call("Language", [&](SharedCall&) {
        const TalvenText::LanguageImpl* impl = TalvenText::languageImpl();
        const char* row = impl->language(impl->currentLanguage())->code;
        *code = Bstr(std::wstring(row, row + std::strlen(row))).Release();
    });
}

HRESULT FileTools::put_Language(BSTR code) {
    return Call("Language", [&](SharedCall& call) {
        const std::wstring wanted = Wide(code);
        const TalvenText::LanguageImpl* impl = TalvenText::languageImpl();
        int index = 0;
        while (index < TalvenText::LanguageCount &&
               ::CompareStringOrdinal(
                   wanted.c_str(), -1,
                   TextConvert::Utf8ToWide(TextConvert::Bytes(impl->language(index)->code)).c_str(),
                   -1, TRUE) != CSTR_EQUAL) {
            ++index;
        }
        if (index == TalvenText::LanguageCount) {
            throw ClientFailure{E_INVALIDARG, L"unknown language code: " + wanted};
        }
        const ByteString folder =
            FileSystem::GetModuleSiblingFolder(FilePath("lang")).GetPath().GetBytes();
        // No message may be resolved while the translations change.
        call.Unlock();
        ::AcquireSRWLockExclusive(&FileToolsModule::LanguageLock());
        TalvenText::setLanguage(index, folder);
        ::ReleaseSRWLockExclusive(&FileToolsModule::LanguageLock());
    });
}

HRESULT FileTools::FolderSize(BSTR path, VARIANT_BOOL recursive, double* bytes) {
    if (bytes == nullptr) {
        return E_POINTER;
    }
    return Call("FolderSize", [&](SharedCall&) {
        *bytes = double(FileSystem::GetFolderSize(Spec(path), recursive != VARIANT_FALSE));
    });
}

HRESULT FileTools::FindFiles(BSTR folder, BSTR pattern, VARIANT_BOOL recursive, VARIANT* paths) {
    if (paths == nullptr) {
        return E_POINTER;
    }
    ::VariantInit(paths);
    return Call("FindFiles", [&](SharedCall&) {
        const FileSystem::FileSpecList found = FileSystem::FindFiles(
            Spec(folder), FilePath(Wide(pattern)), recursive != VARIANT_FALSE);
        std::unique_ptr<SAFEARRAY, SafeArrayDeleter> array(
            ::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(found.size())));
        if (!array) {
            throw std::bad_alloc();
        }
        for (LONG i = 0; i < static_cast<LONG>(found.size()); ++i) {
            VARIANT* element = nullptr;
            ::SafeArrayPtrOfIndex(array.get(), &i, reinterpret_cast<void**>(&element));
            element->vt = VT_BSTR;
            element->bstrVal =
                Bstr(TextConvert::Utf8ToWide(found[i].GetPath().GetBytes())).Release();
        }
        paths->vt = VT_ARRAY | VT_VARIANT;
        paths->parray = array.release();
    });
}

HRESULT FileTools::CopyFolder(BSTR source, BSTR target, VARIANT progress) {
    return Call("CopyFolder", [&](SharedCall& call) {
        IDispatch* routine = Routine(progress);
        const FileSpec from = Spec(source);
        const FileSpec to = Spec(target);
        if (to.IsPresent()) {
            FileSystem::RaiseWin32Error(ERROR_ALREADY_EXISTS, to.GetPath().GetBytes());
        }
        // Counted first, for the fraction; this also reports a missing source before anything
        // is made.
        const std::size_t files = FileSystem::FindFiles(from, FilePath("*"), true).size();
        ClientProgress sink(routine, files, call);
        const FolderSpec staging(FileToolsModule::NewStagingFolder());
        bool created = false;
        try {
            const FileSpec copy = staging.MakeChild(FilePath("tree"));
            FileSystem::CopyFolder(copy, from, true, routine ? Tickler(&sink) : Tickler());
            if (sink.IsCancelled()) {
                FileSystem::RaiseWin32Error(ERROR_REQUEST_ABORTED, to.GetPath().GetBytes());
            }
            try {
                copy.Rename(to);
            } catch (const FileException&) {
                // Another volume: copied once more. Creating the target first claims it (an
                // existing one raises), so that only a target of this copy is ever removed.
                to.CreateFolder();
                created = true;
                to.SetAttributes(copy.GetAttributes());
                FileSystem::CopyFolder(to, copy, true, Tickler());
            }
            staging.DeleteTree();
        } catch (...) {
            try {
                staging.DeleteTree();
                if (created) {
                    FolderSpec(to).DeleteTree();
                }
            } catch (...) {
            }
            throw;
        }
    });
}

HRESULT FileTools::Trace(LONG level) {
    return Call("Trace", [&](SharedCall&) { FileToolsModule::SetTraceLevel(level); });
}

HRESULT FileTools::InterfaceSupportsErrorInfo(REFIID iid) {
    return iid == IID_ITalvenFileTools ? S_OK : S_FALSE;
}

// The COM object of the example component: ITalvenFileTools (dual, IDispatch served from the
// type library) and ISupportErrorInfo, over the library's file-system utilities.
#pragma once

#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include "TalvenFileTools.h"

#include <atomic>

class FileTools : public ITalvenFileTools, public ISupportErrorInfo {
public:
    // Makes an object and hands out its iid interface. Starts the library on first use. Returns
    // E_OUTOFMEMORY, the failure of the start-up or of loading the type information, or
    // E_NOINTERFACE.
    static HRESULT Create(REFIID iid, void** out);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch, by DispInvoke over the type information of ITalvenFileTools.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

    // ITalvenFileTools. Every failure returns a failed HRESULT and sets an IErrorInfo whose
    // description is the library's message in the selected language, followed by ": " and the
    // path when the failure names one. The HRESULT is the OS error's (HRESULT_FROM_WIN32 of a
    // Win32 cause, the HRESULT of a COM cause); E_FAIL when the library reports no OS cause,
    // E_OUTOFMEMORY when memory runs out, E_POINTER and E_INVALIDARG for bad arguments.
    HRESULT STDMETHODCALLTYPE get_Version(BSTR* version) override;
    // The full path of this DLL (not of the host program).
    HRESULT STDMETHODCALLTYPE get_ModulePath(BSTR* path) override;
    // The code of the selected language ("ENU" for the embedded English).
    HRESULT STDMETHODCALLTYPE get_Language(BSTR* code) override;
    // Selects the language by its code; the texts come from lang\<code>.txt beside the DLL
    // ("ENU" selects the embedded English). The language is the process's, shared by every
    // object. E_INVALIDARG for a code that is not in the library's language table; a missing
    // file leaves the embedded English.
    HRESULT STDMETHODCALLTYPE put_Language(BSTR code) override;
    // The bytes of the files in path, with recursive of those in its sub-folders too.
    HRESULT STDMETHODCALLTYPE FolderSize(BSTR path, VARIANT_BOOL recursive, double* bytes) override;
    // The full paths of the files in folder (with recursive, also in its sub-folders) whose
    // names match pattern ("*" and "?"), as a SAFEARRAY of VARIANTs holding BSTRs.
    HRESULT STDMETHODCALLTYPE FindFiles(BSTR folder, BSTR pattern, VARIANT_BOOL recursive,
                                        VARIANT* paths) override;
    // Copies the folder tree source to target, which must not exist (else the OS error of an
    // existing file). The copy is assembled in the library's private temporary folder and then
    // moved into place, so target appears complete or not at all. progress, when it holds an
    // IDispatch, is called through its default member with the fraction done (0 to 1, a double)
    // and the current text; a result that converts to true cancels, and the copy then fails
    // with HRESULT_FROM_WIN32(ERROR_REQUEST_ABORTED). An error raised by progress ends the copy
    // with that error.
    HRESULT STDMETHODCALLTYPE CopyFolder(BSTR source, BSTR target, VARIANT progress) override;
    // Sets the level of the component's trace lines (component "TalvenFileTools", to the
    // debugger and the trace viewer): 0 writes none, 1 failures, 2 every call as well.
    HRESULT STDMETHODCALLTYPE Trace(LONG level) override;

    // ISupportErrorInfo: S_OK for ITalvenFileTools.
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

private:
    explicit FileTools(Win32Res::ComPtr<ITypeInfo> typeInfo);
    virtual ~FileTools();
    FileTools(const FileTools&) = delete;
    FileTools& operator=(const FileTools&) = delete;

    std::atomic<ULONG> references_{1};
    Win32Res::ComPtr<ITypeInfo> typeInfo_;
};

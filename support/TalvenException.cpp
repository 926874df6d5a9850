// The exception classes, their message constants, and the operating system's message texts for
// Win32 error numbers and HRESULT values.
#include "support/TalvenException.h"

#include "support/StackWalker.h"

#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

const TalvenText TalvenException::MemoryAllocationError(-1, "memory allocation error");
const TalvenText TalvenException::InternalSoftwareError(-2, "internal software error: %0, line %1");
const TalvenText TalvenException::RuntimeError(-3, "runtime error: %0");
const TalvenText TalvenException::UnknownError(-4, "unknown error: %0");

const TalvenText SystemException::Errno::ErrnoError(-11,
                                                    "operating system error: number = %0 - %1");
const TalvenText SystemException::Win32::Win32Error(-12,
                                                    "operating system error: number = %0 - %1");
const TalvenText
    SystemException::HRESULT::HResultError(-14, "operating system error: HRESULT = %0 - %1");
const TalvenText SystemException::MMRESULT::MMResultError(-15,
                                                          "operating system error: MMRESULT = %0");

const TalvenText FileException::AccessDenied(-10000, "access denied");
const TalvenText FileException::AllFiles(-10001, "all files");
const TalvenText FileException::CopyingFile(-10002, "copying %0");
const TalvenText FileException::EndOfFile(-10003, "end of file");
const TalvenText FileException::FileExists(-10004, "file exists");
const TalvenText FileException::FileNotFound(-10005, "file not found");
const TalvenText FileException::FolderNotEmpty(-10006, "folder not empty");
const TalvenText FileException::InvalidMedia(-10007, "invalid media");
const TalvenText FileException::InvalidFilePath(-10008, "invalid file path");
const TalvenText FileException::MediaNotFound(-10009, "media not found");
const TalvenText FileException::FilePathNotFound(-10010, "file path not found");
const TalvenText FileException::VolumeFull(-10011, "volume full");
const TalvenText FileException::VolumeLocked(-10012, "volume locked");
const TalvenText FileException::VolumeNotFound(-10013, "volume not found");

namespace {

// FormatMessageW with an allocated buffer that is owned from the moment it is returned. Gives
// false when the system produced no text.
bool FormatOwned(DWORD flags, const void* source, DWORD id, DWORD language, std::wstring& out) {
    wchar_t* raw = nullptr;
    const DWORD length =
        ::FormatMessageW(flags, source, id, language, reinterpret_cast<LPWSTR>(&raw), 0, nullptr);
    const Win32Res::LocalMemory buffer(raw);
    if (length == 0 || !buffer) {
        return false;
    }
    out.assign(raw, length);
    return true;
}

void StripLineBreaks(std::wstring& text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
}

ByteString Hex8(std::uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(value));
    return TextConvert::Bytes(buffer);
}

TalvenTextArgs InternalErrorText(const char* file, std::int32_t line) {
    TalvenTextArgs text(TalvenException::InternalSoftwareError);
    char number[16];
    std::snprintf(number, sizeof number, "%ld", static_cast<long>(line));
    text.push_back(TextConvert::AnsiToUtf8(file ? std::string(file) : std::string()));
    text.push_back(TextConvert::Bytes(number));
    return text;
}

TalvenTextArgs ErrnoText(int value) {
    TalvenTextArgs text(SystemException::Errno::ErrnoError);
    char number[16];
    std::snprintf(number, sizeof number, "%d", value);
    char message[1024];
    std::memset(message, 0, sizeof message);
    strerror_s(message, sizeof message, value);
    // strerror_s always terminates, but an unknown runtime must not make us read past the end.
    message[sizeof message - 1] = '\0';
    text.push_back(TextConvert::Bytes(number));
    text.push_back(TextConvert::AnsiToUtf8(message));
    return text;
}

TalvenTextArgs Win32Text(std::uint32_t value) {
    TalvenTextArgs text(SystemException::Win32::Win32Error);
    text.push_back(Hex8(value));
    text.push_back(TextConvert::WideToUtf8(SystemException::Win32Message(value)));
    return text;
}

TalvenTextArgs HResultText(std::int32_t value) {
    TalvenTextArgs text(SystemException::HRESULT::HResultError);
    text.push_back(Hex8(static_cast<std::uint32_t>(value)));
    text.push_back(TextConvert::WideToUtf8(SystemException::HResultMessage(value)));
    return text;
}

TalvenTextArgs MMResultText(std::uint32_t value) {
    TalvenTextArgs text(SystemException::MMRESULT::MMResultError);
    text.push_back(Hex8(value));
    return text;
}

} // namespace

// --- TalvenException -------------------------------------------------------------------------

TalvenException::TalvenException(const TalvenText& text) : code_(text.id()) {
    text.text(message_);
    callStackWalker();
}

TalvenException::TalvenException(const char* file, std::int32_t line)
    : TalvenException(InternalErrorText(file, line)) {}

TalvenException::TalvenException(const std::exception& other) : code_(-1) {
    bool isTalven = false;
    try {
        if (const TalvenException* talven = dynamic_cast<const TalvenException*>(&other)) {
            isTalven = true;
            code_ = talven->code();
            message_ = talven->message();
            note_ = talven->note();
        } else if (dynamic_cast<const std::bad_alloc*>(&other)) {
            code_ = MemoryAllocationError.id();
            MemoryAllocationError.text(message_);
        } else {
            TalvenTextArgs text(RuntimeError);
            const char* what = other.what();
            text.push_back(TextConvert::AnsiToUtf8(std::string(what ? what : "")));
            code_ = RuntimeError.id();
            text.text(message_);
        }
    } catch (const std::exception&) {
        code_ = -1;
        message_.clear();
    }
    if (!isTalven) {
        callStackWalker();
    }
}

TalvenException::TalvenException(const TalvenException& other)
    : std::exception(other), code_(other.code()), message_(other.message()), note_(other.note()) {}

TalvenException& TalvenException::operator=(const TalvenException& other) {
    code_ = other.code();
    message_ = other.message();
    note_ = other.note();
    return *this;
}

TalvenException::TalvenException(std::int32_t code, const ByteString& message)
    : code_(code), message_(message) {}

TalvenException::~TalvenException() = default;

const char* TalvenException::what() const noexcept {
    try {
        std::string ansi = TextConvert::Utf8ToAnsi(message_);
        whatBuffer_.swap(ansi);
        return whatBuffer_.c_str();
    } catch (...) {
        return "";
    }
}

TalvenException* TalvenException::clone() const {
    return new TalvenException(*this);
}

const std::string& TalvenException::note() const {
    return note_;
}

std::int32_t TalvenException::code() const {
    return code_;
}

const ByteString& TalvenException::message() const {
    return message_;
}

void TalvenException::setNote(const std::string& note) {
    note_ = note;
}

void TalvenException::raise() const {
    throw TalvenException(*this);
}

void TalvenException::callStackWalker() const {
    StackWalker::instance().walk();
}

TalvenException exceptionFromCode(std::int32_t code) {
    if (const TalvenText* text = TalvenText::lookup(code)) {
        return TalvenException(*text);
    }
    TalvenTextArgs text(TalvenException::UnknownError);
    char number[16];
    std::snprintf(number, sizeof number, "%ld", static_cast<long>(code));
    text.push_back(TextConvert::Bytes(number));
    TalvenException result(text);
    result.code_ = code;
    return result;
}

// --- SystemException -------------------------------------------------------------------------

namespace SystemException {

Errno::Errno(int value)
    : TalvenException(ErrnoText(value)), number_(static_cast<std::uint32_t>(value)) {}

TalvenException* Errno::clone() const {
    return new Errno(*this);
}

void Errno::raise() const {
    throw Errno(*this);
}

Win32::Win32(std::uint32_t value) : TalvenException(Win32Text(value)), number_(value) {}

TalvenException* Win32::clone() const {
    return new Win32(*this);
}

void Win32::raise() const {
    throw Win32(*this);
}

HRESULT::HRESULT(std::int32_t value)
    : TalvenException(HResultText(value)), number_(static_cast<std::uint32_t>(value)) {}

TalvenException* HRESULT::clone() const {
    return new HRESULT(*this);
}

void HRESULT::raise() const {
    throw HRESULT(*this);
}

MMRESULT::MMRESULT(std::uint32_t value) : TalvenException(MMResultText(value)), number_(value) {}

TalvenException* MMRESULT::clone() const {
    return new MMRESULT(*this);
}

void MMRESULT::raise() const {
    throw MMRESULT(*this);
}

std::wstring Win32Message(std::uint32_t number) {
    // No arguments are passed, so inserts must not be expanded: expanding them would read
    // through the null argument list.
    std::wstring text;
    if (!FormatOwned(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, number, 0, text)) {
        text = L"n/a";
    }
    StripLineBreaks(text);
    return text;
}

std::wstring HResultMessage(std::int32_t hr) {
    struct Module {
        std::int32_t facility;
        const wchar_t* name;
    };
    static const Module modules[] = {
        {4, L"QUARTZ.DLL"},   {7, L"WMERROR.DLL"},  {13, L"WMERROR.DLL"},
        {7, L"NETMSG.DLL"},   {12, L"MSXML6R.DLL"}, {12, L"MSXML5R.DLL"},
        {12, L"MSXML4R.DLL"}, {12, L"MSXML3R.DLL"}, {12, L"WININET.DLL"},
    };
    const std::int32_t facility = (hr >> 16) & 0x1FFF;
    const DWORD id = static_cast<DWORD>(hr);
    std::wstring text;
    bool found = false;
    for (const Module& module : modules) {
        if (module.facility != facility) {
            continue;
        }
        // Only the message table is wanted: as a data file no module code runs, and (under Wine)
        // the load keeps no handles once freed.
        const Win32Res::Module library(
            ::LoadLibraryExW(module.name, nullptr, LOAD_LIBRARY_AS_DATAFILE));
        if (!library) {
            continue;
        }
        if (FormatOwned(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                            FORMAT_MESSAGE_FROM_HMODULE,
                        library.Get(), id, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text)) {
            found = true;
            break;
        }
    }
    if (!found) {
        FormatOwned(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                        FORMAT_MESSAGE_FROM_SYSTEM,
                    nullptr, id, 0, text);
    }
    StripLineBreaks(text);
    return text;
}

} // namespace SystemException

// --- FileException ---------------------------------------------------------------------------

FileException::FileException(const TalvenText& kind, const ByteString& path,
                             CountedPtr<TalvenException> cause)
    : TalvenException(kind), path_(path), cause_(std::move(cause)) {}

FileException::FileException(const TalvenException& base, const ByteString& path,
                             CountedPtr<TalvenException> cause)
    : TalvenException(base), path_(path), cause_(std::move(cause)) {}

TalvenException* FileException::clone() const {
    return new FileException(*this);
}

ByteString FileException::path() const {
    return path_;
}

TalvenException* FileException::cause() const {
    return cause_.Get();
}

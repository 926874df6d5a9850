// The exception model: every failure is a TalvenException (or subclass) with a numeric code and
// a localisable UTF-8 message; SystemException classes wrap operating-system error numbers, and
// FileException adds the failing path and the lower-level cause.
#pragma once

#include "support/ByteString.h"
#include "support/CountedPtr.h"
#include "support/TalvenText.h"

#include <cstdint>
#include <exception>
#include <string>

class TalvenException : public std::exception {
public:
    static const TalvenText MemoryAllocationError; // -1
    static const TalvenText InternalSoftwareError; // -2 "internal software error: %0, line %1"
    static const TalvenText RuntimeError;          // -3
    static const TalvenText UnknownError;          // -4

    // code = text's identifier, message = the resolved text (arguments of a TalvenTextArgs
    // substituted). Calls the stack-walker hook. Raises std::bad_alloc when memory runs out.
    explicit TalvenException(const TalvenText& text);
    // The internal-software-error exception: code -2, message "internal software error: <file>,
    // line <line>". file is in the ANSI code page, in the form ".\Private\FileSpec". Calls the
    // stack-walker hook. Raises std::bad_alloc when memory runs out.
    TalvenException(const char* file, std::int32_t line);
    // Converts any std::exception: a TalvenException is copied (hook not called); bad_alloc gives
    // MemoryAllocationError; anything else RuntimeError with its what(). Never raises: a failure
    // while converting leaves code -1 and an empty message. Calls the stack-walker hook unless
    // other is a TalvenException.
    explicit TalvenException(const std::exception& other);
    // Copy and assignment take code, message and note through the virtual accessors; the what()
    // cache is neither copied nor reset, and the hook is not called.
    TalvenException(const TalvenException& other);
    TalvenException& operator=(const TalvenException& other);

    ~TalvenException() override;
    // The message in the ANSI code page; valid until the next what() on this object. Never
    // raises: returns "" when the conversion fails.
    const char* what() const noexcept override;
    // An owned heap copy of the same dynamic type. Does not call the hook.
    virtual TalvenException* clone() const;
    virtual const std::string& note() const;
    virtual std::int32_t code() const;
    virtual const ByteString& message() const;
    virtual void setNote(const std::string& note);
    // Throws a copy (the hook is not called). FileException does not override this: raising one
    // throws a plain TalvenException copy that keeps code, message and note.
    [[noreturn]] virtual void raise() const;

protected:
    // For subclasses that build their message themselves; does not call the hook.
    TalvenException(std::int32_t code, const ByteString& message);
    void callStackWalker() const;

private:
    // Keeps the caller's code on the unknown-error message.
    friend TalvenException exceptionFromCode(std::int32_t code);
    std::int32_t code_;
    ByteString message_;
    std::string note_;
    mutable std::string whatBuffer_;
};

// Throws the internal-software-error exception for the calling source (".\Dir\File") and line.
#define TALVEN_INTERNAL_ERROR(source) throw TalvenException((source), __LINE__)

// The exception for a code: the registered text with that identifier, or "unknown error: <code>"
// with the code kept as given. Calls the stack-walker hook once.
TalvenException exceptionFromCode(std::int32_t code);

namespace SystemException {

// Each class keeps the raw value it was built from in number(); its code is its constant's
// identifier, never the OS number. The value constructors build the message from their constant
// (so they call the stack-walker hook once) and raise only std::bad_alloc; copies do not call it.
class Errno : public TalvenException {
public:
    static const TalvenText ErrnoError; // -11 "operating system error: number = %0 - %1"
    // %0 = the value in decimal, %1 = strerror_s text.
    explicit Errno(int value);
    Errno(const Errno& other) = default;
    Errno& operator=(const Errno& other) = default;
    TalvenException* clone() const override;
    [[noreturn]] void raise() const override;
    std::uint32_t number() const { return number_; }

private:
    std::uint32_t number_;
};

class Win32 : public TalvenException {
public:
    static const TalvenText Win32Error; // -12 "operating system error: number = %0 - %1"
    // %0 = "0x%08lX" of the value, %1 = the system's message ("n/a" when it has none).
    explicit Win32(std::uint32_t value);
    Win32(const Win32& other) = default;
    Win32& operator=(const Win32& other) = default;
    TalvenException* clone() const override;
    [[noreturn]] void raise() const override;
    std::uint32_t number() const { return number_; }

private:
    std::uint32_t number_;
};

class HRESULT : public TalvenException {
public:
    static const TalvenText HResultError; // -14 "operating system error: HRESULT = %0 - %1"
    // %0 = "0x%08lX" of the value, %1 = the message from the module table or the system (may be
    // empty).
    explicit HRESULT(std::int32_t value);
    HRESULT(const HRESULT& other) = default;
    HRESULT& operator=(const HRESULT& other) = default;
    TalvenException* clone() const override;
    [[noreturn]] void raise() const override;
    std::uint32_t number() const { return number_; }

private:
    std::uint32_t number_;
};

class MMRESULT : public TalvenException {
public:
    static const TalvenText MMResultError; // -15 "operating system error: MMRESULT = %0"
    explicit MMRESULT(std::uint32_t value);
    MMRESULT(const MMRESULT& other) = default;
    MMRESULT& operator=(const MMRESULT& other) = default;
    TalvenException* clone() const override;
    [[noreturn]] void raise() const override;
    std::uint32_t number() const { return number_; }

private:
    std::uint32_t number_;
};

// The system's text for a Win32 error number without trailing line breaks, or "n/a". Insert
// sequences such as "%1" in the system's text are left as they stand, since no arguments exist.
// Raises only std::bad_alloc.
std::wstring Win32Message(std::uint32_t number);
// The text for an HRESULT from the message-module table or the system, or "" when none. Modules
// that do not load or lack the message are skipped. Raises only std::bad_alloc.
std::wstring HResultMessage(std::int32_t hr);

} // namespace SystemException

// A failed file-system operation: the kind (code and message), the path it concerned and the
// lower-level cause (usually a SystemException::Win32), shared between copies.
class FileException : public TalvenException {
public:
    static const TalvenText AccessDenied;     // -10000
    static const TalvenText AllFiles;         // -10001 (not an error kind)
    static const TalvenText CopyingFile;      // -10002 "copying %0" (progress caption)
    static const TalvenText EndOfFile;        // -10003
    static const TalvenText FileExists;       // -10004
    static const TalvenText FileNotFound;     // -10005
    static const TalvenText FolderNotEmpty;   // -10006
    static const TalvenText InvalidMedia;     // -10007
    static const TalvenText InvalidFilePath;  // -10008
    static const TalvenText MediaNotFound;    // -10009
    static const TalvenText FilePathNotFound; // -10010
    static const TalvenText VolumeFull;       // -10011
    static const TalvenText VolumeLocked;     // -10012
    static const TalvenText VolumeNotFound;   // -10013

    // code and message from the kind (calls the stack-walker hook); the path is kept apart from
    // the message.
    FileException(const TalvenText& kind, const ByteString& path,
                  CountedPtr<TalvenException> cause = CountedPtr<TalvenException>());
    // The base copied from an existing exception (an OS error that maps to no kind); the hook is
    // not called.
    FileException(const TalvenException& base, const ByteString& path,
                  CountedPtr<TalvenException> cause);
    // Copies share the cause, which is destroyed with the last copy.
    FileException(const FileException& other) = default;
    FileException& operator=(const FileException& other) = default;

    TalvenException* clone() const override;
    // The UTF-8 path of the item the failed operation concerned.
    virtual ByteString path() const;
    // The lower-level exception, or nullptr.
    virtual TalvenException* cause() const;

private:
    ByteString path_;
    CountedPtr<TalvenException> cause_;
};

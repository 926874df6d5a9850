// FilePath: the portable path, a UTF-8 byte string with the path operations that need no
// operating system (last component, extension, base name, comparison key, wildcard matching).
#pragma once

#include "support/ByteString.h"

#include <string>
#include <utility>

// Both "/" and "\" are separators; "." starts an extension. All scans are byte-wise, which is
// safe on UTF-8 because bytes below 0x80 never occur inside a multi-byte sequence.
//
// A FilePath always holds well-formed UTF-8. Text that is not well formed when it arrives
// (invalid UTF-8 bytes, or UTF-16 with lone surrogates) is converted through TextConvert, which
// puts U+FFFD (EF BF BD) in place of each invalid sequence. No constructor raises for bad text.
//
// Every operation leaves the path unchanged and returns a new value.
class FilePath {
public:
    // The empty path.
    FilePath() = default;
    FilePath(const FilePath& other) = default;
    FilePath& operator=(const FilePath& other) = default;
    FilePath(FilePath&& other) noexcept = default;
    FilePath& operator=(FilePath&& other) noexcept = default;

    // From NUL-terminated text in the ANSI code page (nullptr gives the empty path).
    explicit FilePath(const char* ansi);
    explicit FilePath(const std::string& ansi);
    // From UTF-16 text (nullptr gives the empty path); lone surrogates become U+FFFD.
    explicit FilePath(const wchar_t* utf16);
    explicit FilePath(const std::wstring& utf16);
    // From UTF-8 bytes; invalid sequences become U+FFFD.
    explicit FilePath(const ByteString& utf8);

    // The UTF-8 bytes of the path.
    const ByteString& GetBytes() const { return path_; }
    // The path as UTF-16, for the operating-system boundary.
    std::wstring ToWide() const;
    // The path in the ANSI code page; characters it cannot hold become its default character.
    std::string ToAnsi() const;
    bool IsEmpty() const { return path_.empty(); }

    // Everything after the last "/" or "\"; the whole path when there is none. A path that
    // ends in a separator has an empty name.
    FilePath GetName() const;
    // Everything after the last "." of the whole path (not only of the last component), or
    // the empty path when there is no ".".
    FilePath GetExtension() const;
    // Everything before the last "." of the whole path; the whole path when there is none.
    FilePath RemoveExtension() const;
    // The last component without the text from its last "." on.
    FilePath GetBaseName() const;
    // A lower-cased copy, by the platform's lower-casing of UTF-16 (on the Windows 9x family,
    // through the ANSI code page: characters it cannot hold become its default character).
    FilePath ToLower() const;
    // The comparison key: the path (lower-cased unless caseSensitive) with every "\" turned
    // into "/".
    FilePath GetCanonical(bool caseSensitive) const;
    // True when both comparison keys are equal byte for byte.
    bool IsEqual(const FilePath& other, bool caseSensitive) const;
    // Wildcard match of the last component against a one-component pattern. "*" matches any
    // run of bytes (the "." included); it may match none when more pattern follows, but a "*"
    // that ends the pattern needs at least one byte. "?" matches exactly one byte that is not
    // ".". Other bytes match themselves (after lower-casing both unless caseSensitive).
    // Raises FileException (internal-software-error base for ".\Private\FilePath", the pattern
    // as its path, no cause) when the pattern contains "/" or "\".
    // Takes time proportional to the product of the two lengths, whatever the pattern.
    bool MatchesPattern(const FilePath& pattern, bool caseSensitive) const;
    // The path, then "." unless extension begins with one, then extension. An empty extension
    // gives the path unchanged; an existing extension is kept.
    FilePath AddExtension(const FilePath& extension) const;

    // Lower-cases UTF-8 text as ToLower does; viaAnsiCodePage selects the Windows 9x way
    // regardless of the running system. Never raises for bad text.
    static ByteString LowerCase(const ByteString& utf8, bool viaAnsiCodePage);

private:
    struct Trusted {};
    // Takes bytes that are known to be well-formed UTF-8 (cut from a FilePath at ASCII bytes).
    FilePath(ByteString utf8, Trusted) : path_(std::move(utf8)) {}

    ByteString path_;
};

// Byte strings: UTF-8 text held in strings of unsigned 8-bit units, and the conversions
// between UTF-8, UTF-16 and the ANSI code page that the whole library goes through.
#pragma once

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <ios>
#include <string>

// Character traits for unsigned 8-bit units: the standard provides char_traits only for the
// character types, so a string of unsigned char brings its own to build with any library.
// Comparison is by unsigned byte value, as memcmp compares.
struct ByteTraits {
    using char_type = unsigned char;
    using int_type = unsigned int;
    using off_type = std::streamoff;
    using pos_type = std::streampos;
    using state_type = std::mbstate_t;

    static void assign(char_type& to, const char_type& from) noexcept { to = from; }
    static constexpr bool eq(char_type a, char_type b) noexcept { return a == b; }
    static constexpr bool lt(char_type a, char_type b) noexcept { return a < b; }
    static int compare(const char_type* a, const char_type* b, std::size_t n) noexcept {
        return n == 0 ? 0 : std::memcmp(a, b, n);
    }
    static std::size_t length(const char_type* s) noexcept {
        return std::strlen(reinterpret_cast<const char*>(s));
    }
    static const char_type* find(const char_type* s, std::size_t n, const char_type& c) noexcept {
        return n == 0 ? nullptr : static_cast<const char_type*>(std::memchr(s, c, n));
    }
    static char_type* move(char_type* to, const char_type* from, std::size_t n) noexcept {
        return n == 0 ? to : static_cast<char_type*>(std::memmove(to, from, n));
    }
    static char_type* copy(char_type* to, const char_type* from, std::size_t n) noexcept {
        return n == 0 ? to : static_cast<char_type*>(std::memcpy(to, from, n));
    }
    static char_type* assign(char_type* to, std::size_t n, char_type c) noexcept {
        return n == 0 ? to : static_cast<char_type*>(std::memset(to, c, n));
    }
    static constexpr char_type to_char_type(int_type c) noexcept {
        return static_cast<char_type>(c);
    }
    static constexpr int_type to_int_type(char_type c) noexcept { return c; }
    static constexpr bool eq_int_type(int_type a, int_type b) noexcept { return a == b; }
    static constexpr int_type eof() noexcept { return static_cast<int_type>(-1); }
    static constexpr int_type not_eof(int_type c) noexcept { return c == eof() ? 0 : c; }
};

using ByteString = std::basic_string<unsigned char, ByteTraits>;

namespace TextConvert {

// A ByteString holding the bytes of a NUL-terminated narrow string unchanged (nullptr gives "").
ByteString Bytes(const char* text);
ByteString Bytes(const std::string& text);
// The bytes of a ByteString as a narrow string, unchanged.
std::string Chars(const ByteString& bytes);

// UTF-8 to UTF-16. Invalid UTF-8 sequences become U+FFFD; never raises for bad input.
std::wstring Utf8ToWide(const ByteString& utf8);
// UTF-16 to UTF-8. Lone surrogates become U+FFFD (EF BF BD); never raises for bad input.
ByteString WideToUtf8(const std::wstring& wide);
ByteString WideToUtf8(const wchar_t* wide, std::size_t length);
// ANSI code page to UTF-8 and back, through UTF-16. Characters the ANSI code page cannot hold
// become the code page's default character ("?").
ByteString AnsiToUtf8(const std::string& ansi);
std::string Utf8ToAnsi(const ByteString& utf8);
// Wide to ANSI code page, for file names on the Windows 9x family.
std::string WideToAnsi(const std::wstring& wide);
std::wstring AnsiToWide(const std::string& ansi);
// Lower-cased by the system's case mapping: UTF-16 by CharLowerBuffW, ANSI code page text by
// CharLowerBuffA. Never raises for bad input.
std::wstring LowerWide(std::wstring wide);
std::string LowerAnsi(std::string ansi);

} // namespace TextConvert

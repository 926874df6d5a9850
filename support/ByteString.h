// Byte strings: UTF-8 text held in strings of unsigned 8-bit units, and the conversions
// between UTF-8, UTF-16 and the ANSI code page that the whole library goes through.
#pragma once

#include <string>

using ByteString = std::basic_string<unsigned char>;

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

} // namespace TextConvert

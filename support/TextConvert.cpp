// Conversions between UTF-8, UTF-16 and the ANSI code page, all through the Win32 converters so
// that the library reads text the way the rest of the process does.
#include "support/ByteString.h"

#include "support/TalvenWindows.h"

#include <climits>
#include <stdexcept>

namespace {

// Strings longer than an int can describe are refused rather than silently truncated.
int CheckedLength(std::size_t length) {
    if (length > static_cast<std::size_t>(INT_MAX)) {
        throw std::length_error("string too long to convert");
    }
    return static_cast<int>(length);
}

std::wstring ToWide(UINT codePage, const char* data, std::size_t length) {
    if (length == 0) {
        return std::wstring();
    }
    const int inLength = CheckedLength(length);
    const int size = ::MultiByteToWideChar(codePage, 0, data, inLength, nullptr, 0);
    if (size <= 0) {
        return std::wstring();
    }
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(codePage, 0, data, inLength, &result[0], size);
    return result;
}

std::string FromWide(UINT codePage, const wchar_t* data, std::size_t length) {
    if (length == 0) {
        return std::string();
    }
    const int inLength = CheckedLength(length);
    const int size =
        ::WideCharToMultiByte(codePage, 0, data, inLength, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string();
    }
    std::string result(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, 0, data, inLength, &result[0], size, nullptr, nullptr);
    return result;
}

} // namespace

namespace TextConvert {

ByteString Bytes(const char* text) {
    if (!text) {
        return ByteString();
    }
    return ByteString(reinterpret_cast<const unsigned char*>(text));
}

ByteString Bytes(const std::string& text) {
    return ByteString(text.begin(), text.end());
}

std::string Chars(const ByteString& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::wstring Utf8ToWide(const ByteString& utf8) {
    return ToWide(CP_UTF8, reinterpret_cast<const char*>(utf8.data()), utf8.size());
}

ByteString WideToUtf8(const std::wstring& wide) {
    return WideToUtf8(wide.data(), wide.size());
}

ByteString WideToUtf8(const wchar_t* wide, std::size_t length) {
    return Bytes(FromWide(CP_UTF8, wide, length));
}

ByteString AnsiToUtf8(const std::string& ansi) {
    return WideToUtf8(AnsiToWide(ansi));
}

std::string Utf8ToAnsi(const ByteString& utf8) {
    return WideToAnsi(Utf8ToWide(utf8));
}

std::string WideToAnsi(const std::wstring& wide) {
    return FromWide(CP_ACP, wide.data(), wide.size());
}

std::wstring AnsiToWide(const std::string& ansi) {
    return ToWide(CP_ACP, ansi.data(), ansi.size());
}

// The converters refuse strings longer than an int, so text they made fits a DWORD length.
std::wstring LowerWide(std::wstring wide) {
    if (!wide.empty()) {
        ::CharLowerBuffW(&wide[0], static_cast<DWORD>(wide.size()));
    }
    return wide;
}

std::string LowerAnsi(std::string ansi) {
    if (!ansi.empty()) {
        ::CharLowerBuffA(&ansi[0], static_cast<DWORD>(ansi.size()));
    }
    return ansi;
}

} // namespace TextConvert

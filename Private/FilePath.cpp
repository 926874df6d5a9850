// FilePath: the portable path operations on UTF-8 bytes, and the lower-casing that goes through
// UTF-16 (or the ANSI code page on the Windows 9x family).
#include "Private/FilePath.h"

#include "Private/Windows/TalvenWindows.h"
#include "support/TalvenException.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

const char* const Source = ".\\Private\\FilePath";

bool IsSeparator(unsigned char c) {
    return c == '/' || c == '\\';
}

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above U+10FFFF. Text that
// passes converts to UTF-16 and back unchanged, so it is kept as it is without two OS calls.
bool IsWellFormedUtf8(const ByteString& text) {
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = text[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3;
            low = 0xA0;
        } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
            length = 3;
        } else if (lead == 0xED) {
            length = 3;
            high = 0x9F;
        } else if (lead == 0xF0) {
            length = 4;
            low = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else if (lead == 0xF4) {
            length = 4;
            high = 0x8F;
        } else {
            return false;
        }
        if (size - i < length || text[i + 1] < low || text[i + 1] > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if (text[i + k] < 0x80 || text[i + k] > 0xBF) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

bool IsWindows9xFamily() {
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
    static const bool win9x = (::GetVersion() & 0x80000000u) != 0;
    return win9x;
}

} // namespace

FilePath::FilePath(const char* ansi)
    : path_(ansi ? TextConvert::AnsiToUtf8(std::string(ansi)) : ByteString()) {}

FilePath::FilePath(const std::string& ansi) : path_(TextConvert::AnsiToUtf8(ansi)) {}

FilePath::FilePath(const wchar_t* utf16)
    : path_(utf16 ? TextConvert::WideToUtf8(std::wstring(utf16)) : ByteString()) {}

namespace {

// Paths are mostly ASCII, which converts unit by unit without the OS's converters.
bool IsAscii(const std::wstring& text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
}

} // namespace

FilePath::FilePath(const std::wstring& utf16)
    : path_(IsAscii(utf16) ? ByteString(utf16.begin(), utf16.end())
                           : TextConvert::WideToUtf8(utf16)) {}

FilePath::FilePath(const ByteString& utf8)
    : path_(IsWellFormedUtf8(utf8) ? utf8
                                   : TextConvert::WideToUtf8(TextConvert::Utf8ToWide(utf8))) {}

std::wstring FilePath::ToWide() const {
    if (std::all_of(path_.begin(), path_.end(), [](unsigned char c) { return c < 0x80; })) {
        return std::wstring(path_.begin(), path_.end());
    }
    return TextConvert::Utf8ToWide(path_);
}

std::string FilePath::ToAnsi() const {
    return TextConvert::Utf8ToAnsi(path_);
}

FilePath FilePath::GetName() const {
    std::size_t start = path_.size();
    while (start > 0 && !IsSeparator(path_[start - 1])) {
        --start;
    }
    return FilePath(path_.substr(start), Trusted());
}

FilePath FilePath::GetExtension() const {
    const std::size_t dot = path_.rfind('.');
    if (dot == ByteString::npos) {
        return FilePath();
    }
    return FilePath(path_.substr(dot + 1), Trusted());
}

FilePath FilePath::RemoveExtension() const {
    const std::size_t dot = path_.rfind('.');
    if (dot == ByteString::npos) {
        return *this;
    }
    return FilePath(path_.substr(0, dot), Trusted());
}

FilePath FilePath::GetBaseName() const {
    return GetName().RemoveExtension();
}

ByteString FilePath::LowerCase(const ByteString& utf8, bool viaAnsiCodePage) {
    // Plain ASCII lower-cases the same in every code page and through UTF-16: no OS calls.
    if (std::all_of(utf8.begin(), utf8.end(), [](unsigned char c) { return c < 0x80; })) {
        ByteString lower = utf8;
        for (unsigned char& c : lower) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<unsigned char>(c + ('a' - 'A'));
            }
        }
        return lower;
    }
    std::wstring wide = TextConvert::Utf8ToWide(utf8);
    if (wide.empty()) {
        return ByteString();
    }
    // The converters refuse strings longer than an int, so the lengths fit a DWORD here.
    if (viaAnsiCodePage) {
        std::string ansi = TextConvert::WideToAnsi(wide);
        if (!ansi.empty()) {
            ::CharLowerBuffA(&ansi[0], static_cast<DWORD>(ansi.size()));
        }
        wide = TextConvert::AnsiToWide(ansi);
    } else {
        ::CharLowerBuffW(&wide[0], static_cast<DWORD>(wide.size()));
    }
    return TextConvert::WideToUtf8(wide);
}

FilePath FilePath::ToLower() const {
    return FilePath(LowerCase(path_, IsWindows9xFamily()), Trusted());
}

FilePath FilePath::GetCanonical(bool caseSensitive) const {
    ByteString key = caseSensitive ? path_ : LowerCase(path_, IsWindows9xFamily());
    for (unsigned char& c : key) {
        if (c == '\\') {
            c = '/';
        }
    }
    return FilePath(std::move(key), Trusted());
}

bool FilePath::IsEqual(const FilePath& other, bool caseSensitive) const {
    return GetCanonical(caseSensitive).path_ == other.GetCanonical(caseSensitive).path_;
}

bool FilePath::MatchesPattern(const FilePath& pattern, bool caseSensitive) const {
    for (unsigned char c : pattern.path_) {
        if (IsSeparator(c)) {
            throw FileException(TalvenException(Source, __LINE__), pattern.path_,
                                CountedPtr<TalvenException>());
        }
    }
    // Only stars: any non-empty name matches, whatever its case.
    if (!pattern.path_.empty() && pattern.path_.find_first_not_of('*') == ByteString::npos) {
        return !GetName().path_.empty();
    }
    const ByteString p = caseSensitive ? pattern.path_ : pattern.ToLower().path_;
    const ByteString n = caseSensitive ? GetName().path_ : GetName().ToLower().path_;

    // The matching rule, read as a recursion, retries every suffix of the name at every "*"
    // and takes exponential time on patterns such as "*a*a*a*b". Its answer for (name suffix
    // from i, pattern suffix from j) depends only on the answers for the pattern suffix from
    // j + 1, so it is computed one pattern position at a time, from the end, over all name
    // positions: next[i] holds the answer for pattern position j + 1, current[i] for j.
    const std::size_t nameSize = n.size();
    std::vector<char> next(nameSize + 1, 0);
    std::vector<char> current(nameSize + 1, 0);
    next[nameSize] = 1; // both exhausted
    for (std::size_t j = p.size(); j-- > 0;) {
        current[nameSize] = 0; // name exhausted, pattern left
        const unsigned char c = p[j];
        if (c == '*') {
            const bool last = j + 1 == p.size();
            // Some later name position matches the rest; the exhausted name is never tried.
            char anyLater = 0;
            for (std::size_t i = nameSize; i-- > 0;) {
                anyLater = static_cast<char>(anyLater | next[i]);
                current[i] = last ? 1 : anyLater;
            }
        } else {
            for (std::size_t i = 0; i < nameSize; ++i) {
                const bool byteMatches = c == '?' ? n[i] != '.' : n[i] == c;
                current[i] = byteMatches ? next[i + 1] : 0;
            }
        }
        next.swap(current);
    }
    return next[0] != 0;
}

FilePath FilePath::AddExtension(const FilePath& extension) const {
    if (extension.path_.empty()) {
        return *this;
    }
    ByteString result = path_;
    if (extension.path_[0] != '.') {
        result.push_back('.');
    }
    result += extension.path_;
    return FilePath(std::move(result), Trusted());
}

// Localisable message texts: the registry of constants, argument substitution, the built-in
// language object with its fixed table, and the language-file loader.
#include "support/TalvenText.h"

#include "support/SystemFamily.h"
#include "support/TalvenWindows.h"

#include <cstdio>
#include <iomanip>
#include <memory>
#include <ostream>
#include <string>

#ifdef _MSC_VER
// fopen, _wfopen and GetVersion are the calls that still work on the Windows 9x family; their
// "secure" or newer replacements do not exist there.
#pragma warning(disable : 4996)
#endif

namespace {

// A plain pointer with a constant initialiser: it is valid before any dynamic initialisation
// runs, so constants of every translation unit can register in any order.
const TalvenText* g_head = nullptr;

// nullptr stands for the built-in instance, which keeps this pointer constant-initialised too.
TalvenText::LanguageImpl* g_current = nullptr;

TalvenText::LanguageImpl& BuiltIn() {
    // Deliberately never destroyed: messages may still be resolved while other static objects
    // are being destroyed (an exception built in a destructor), and the map must outlive them.
    static TalvenText::LanguageImpl* const instance = new TalvenText::LanguageImpl();
    return *instance;
}

const TalvenText::LanguageRow g_languages[TalvenText::LanguageCount] = {
    {"CHS", "Chinese (Simplified)"},
    {"CHT", "Chinese (Traditional)"},
    {"DAN", "Danish"},
    {"NLD", "Dutch"},
    {"ENU", "English"},
    {"FIN", "Finnish"},
    {"FRA", "French"},
    {"DEU", "German"},
    {"ITA", "Italian"},
    {"JPN", "Japanese"},
    {"KOR", "Korean"},
    {"NOR", "Norweigian"},
    {"PTG", "Portuguese"},
    {"PTB", "Portuguese (Brazil)"},
    {"ESN", "Spanish"},
    {"SVE", "Swedish"},
    {"ENU", "Default (Embedded English)"},
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Only ASCII white space: bytes of 0x80 and above belong to UTF-8 sequences and stay.
bool IsBlank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

int DigitValue(unsigned char c, int base) {
    int value = -1;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    }
    return value < base ? value : -1;
}

// Reads digits of base at p into magnitude. False when there is no digit or the value exceeds
// limit (which would not fit the identifier).
bool ReadDigits(const unsigned char*& p, const unsigned char* end, int base,
                unsigned long long limit, unsigned long long& magnitude) {
    const unsigned char* start = p;
    bool overflow = false;
    magnitude = 0;
    for (; p != end; ++p) {
        const int digit = DigitValue(*p, base);
        if (digit < 0) {
            break;
        }
        // Keep consuming digits after an overflow so that the whole number is rejected at once.
        if (!overflow) {
            magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
            overflow = magnitude > limit;
        }
    }
    return p != start && !overflow;
}

// Reads the identifier at the very start of a line: optional sign, decimal digits, and "0x"
// followed by hexadecimal digits. The sign also applies to the hexadecimal form, so "-0x2710"
// reads as -10000. Returns false when nothing could be read or the value does not fit in 32 bits.
bool ParseIdentifier(const unsigned char*& p, const unsigned char* end, std::int32_t& id) {
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const unsigned long long limit = negative ? 0x80000000ull : 0x7FFFFFFFull;
    unsigned long long magnitude = 0;
    if (!ReadDigits(p, end, 10, limit, magnitude)) {
        return false;
    }
    if (magnitude == 0 && p != end && *p == 'x') {
        ++p;
        if (!ReadDigits(p, end, 16, limit, magnitude)) {
            return false;
        }
    }
    const long long value =
        negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    id = static_cast<std::int32_t>(value);
    return true;
}

void ParseLine(const unsigned char* p, const unsigned char* end,
               std::map<std::int32_t, ByteString>& translations) {
    if (p == end || *p == ';' || *p == '#') {
        return;
    }
    std::int32_t id = 0;
    if (!ParseIdentifier(p, end, id) || id == 0) {
        return;
    }
    while (p != end && IsBlank(*p)) {
        ++p;
    }
    while (end != p && IsBlank(end[-1])) {
        --end;
    }
    translations[id] = ByteString(p, end);
}

void ParseText(const unsigned char* p, const unsigned char* end,
               std::map<std::int32_t, ByteString>& translations) {
    while (p != end) {
        const unsigned char* lineEnd = p;
        while (lineEnd != end && *lineEnd != '\r' && *lineEnd != '\n') {
            ++lineEnd;
        }
        ParseLine(p, lineEnd, translations);
        p = lineEnd;
        while (p != end && (*p == '\r' || *p == '\n')) {
            ++p;
        }
    }
}

// The whole file, or false when it cannot be opened. A read error keeps what was read so far.
bool ReadLanguageFile(const std::wstring& path, std::vector<unsigned char>& bytes) {
    FilePtr file(SystemFamily::IsWindows9x()
                     ? std::fopen(TextConvert::WideToAnsi(path).c_str(), "rb")
                     : ::_wfopen(path.c_str(), L"rb"));
    if (!file) {
        return false;
    }
    unsigned char chunk[65536];
    for (;;) {
        const std::size_t count = std::fread(chunk, 1, sizeof chunk, file.get());
        bytes.insert(bytes.end(), chunk, chunk + count);
        if (count < sizeof chunk) {
            break;
        }
    }
    return true;
}

} // namespace

// --- LanguageImpl -----------------------------------------------------------------------------

TalvenText::LanguageImpl::LanguageImpl() = default;

TalvenText::LanguageImpl::~LanguageImpl() = default;

int TalvenText::LanguageImpl::currentLanguage() const {
    return current_;
}

const TalvenText::LanguageRow* TalvenText::LanguageImpl::language(int index) const {
    if (index < 0 || index >= LanguageCount) {
        return nullptr;
    }
    return &g_languages[index];
}

void TalvenText::LanguageImpl::lookup(ByteString& out, std::int32_t id) const {
    const auto found = translations_.find(id);
    if (found == translations_.end()) {
        out.clear();
    } else {
        out = found->second;
    }
}

void TalvenText::LanguageImpl::setLanguage(int index, const ByteString& folder) {
    if (index < 0 || index >= LanguageCount || index == current_) {
        return;
    }
    translations_.clear();
    current_ = EmbeddedEnglish;
    if (index == EmbeddedEnglish) {
        return;
    }
    std::wstring path = TextConvert::Utf8ToWide(folder);
    path += L'\\';
    for (const char* c = g_languages[index].code; *c; ++c) {
        path += static_cast<wchar_t>(*c);
    }
    path += L".txt";
    std::vector<unsigned char> bytes;
    if (!ReadLanguageFile(path, bytes)) {
        return;
    }
    LoadFromBytes(bytes);
    current_ = index;
}

void TalvenText::LanguageImpl::LoadFromBytes(const std::vector<unsigned char>& bytes) {
    translations_.clear();
    const unsigned char* begin = bytes.data();
    const unsigned char* end = begin + bytes.size();
    if (bytes.size() >= 3 && begin[0] == 0xEF && begin[1] == 0xBB && begin[2] == 0xBF) {
        ParseText(begin + 3, end, translations_);
    } else if (bytes.size() >= 2 && begin[0] == 0xFE && begin[1] == 0xFF) {
        // A trailing odd byte is half a code unit of a truncated file: it is dropped rather
        // than completed with a made-up byte.
        const std::size_t units = (bytes.size() - 2) / 2;
        std::wstring wide(units, L'\0');
        for (std::size_t i = 0; i < units; ++i) {
            wide[i] = static_cast<wchar_t>((begin[2 + 2 * i] << 8) | begin[3 + 2 * i]);
        }
        const ByteString utf8 = TextConvert::WideToUtf8(wide);
        ParseText(utf8.data(), utf8.data() + utf8.size(), translations_);
    } else {
        ParseText(begin, end, translations_);
    }
}

// --- TalvenText -------------------------------------------------------------------------------

TalvenText::TalvenText(const char* defaultText)
    : id_(0), defaultText_(defaultText ? defaultText : ""), next_(this) {}

TalvenText::TalvenText(std::int32_t id, const char* defaultText)
    : id_(id), defaultText_(defaultText ? defaultText : ""), next_(this) {
    // An equal identifier goes before the existing one, so the newest constant wins lookups.
    const TalvenText** link = &g_head;
    while (*link && (*link)->id_ < id_) {
        link = &(*link)->next_;
    }
    next_ = *link;
    *link = this;
}

TalvenText::TalvenText(const TalvenText& other)
    : id_(other.id_), defaultText_(other.defaultText_), next_(this) {}

TalvenText& TalvenText::operator=(const TalvenText& other) {
    if (this == &other) {
        return *this;
    }
    // Changing the identifier of a linked constant would break the registry's order, so a
    // registered target leaves the registry first, as the contract says it ends unregistered.
    if (isRegistered()) {
        const TalvenText** link = &g_head;
        while (*link && *link != this) {
            link = &(*link)->next_;
        }
        if (*link) {
            *link = next_;
        }
        next_ = this;
    }
    id_ = other.id_;
    defaultText_ = other.defaultText_;
    return *this;
}

TalvenText::~TalvenText() {
    if (!isRegistered()) {
        return;
    }
    const TalvenText** link = &g_head;
    while (*link && *link != this) {
        link = &(*link)->next_;
    }
    if (*link) {
        *link = next_;
    }
}

std::int32_t TalvenText::id() const {
    return id_;
}

void TalvenText::format(ByteString& out, const std::vector<ByteString>& args) const {
    // Qualified call: a subclass's text() substitutes its own arguments by calling format.
    ByteString result;
    TalvenText::text(result);
    std::size_t position = 0;
    char placeholder[16];
    for (std::size_t i = 0; i < args.size(); ++i) {
        const int length =
            std::snprintf(placeholder, sizeof placeholder, "%%%d", static_cast<int>(i));
        const ByteString pattern(reinterpret_cast<const unsigned char*>(placeholder),
                                 static_cast<std::size_t>(length));
        for (;;) {
            const std::size_t found = result.find(pattern, position);
            if (found == ByteString::npos) {
                break;
            }
            result.replace(found, pattern.size(), args[i]);
            position = found + args[i].size();
        }
    }
    out.swap(result);
}

void TalvenText::text(ByteString& out) const {
    if (id_ != 0) {
        languageImpl()->lookup(out, id_);
        if (!out.empty()) {
            return;
        }
    }
    out = TextConvert::Bytes(defaultText_);
}

ByteString TalvenText::str() const {
    ByteString result;
    text(result);
    return result;
}

const TalvenText* TalvenText::lookup(std::int32_t id) {
    const TalvenText* node = g_head;
    while (node && node->id_ < id) {
        node = node->next_;
    }
    return node && node->id_ == id ? node : nullptr;
}

const TalvenText* TalvenText::first() {
    return g_head;
}

const TalvenText* TalvenText::next(const TalvenText* text) {
    if (!text || !text->isRegistered()) {
        return nullptr;
    }
    return text->next_;
}

void TalvenText::setLanguage(int index, const ByteString& folder) {
    languageImpl()->setLanguage(index, folder);
}

void TalvenText::setLanguageImpl(LanguageImpl* impl) {
    g_current = impl;
}

TalvenText::LanguageImpl* TalvenText::languageImpl() {
    return g_current ? g_current : &BuiltIn();
}

void TalvenText::Dump(std::ostream& out) {
    const std::ios_base::fmtflags saved = out.flags(std::ios_base::right | std::ios_base::dec);
    LanguageImpl* impl = languageImpl();
    const LanguageRow* row = impl->language(impl->currentLanguage());
    out << "\xEF\xBB\xBF"
        << "TalvenText::Dump() - " << (row ? row->code : "") << " - "
        << (row && row->name ? row->name : "") << std::endl;
    ByteString translation;
    for (const TalvenText* text = g_head; text; text = text->next_) {
        impl->lookup(translation, text->id_);
        out << std::setw(11) << text->id_ << ": ";
        if (translation.empty()) {
            out << "<UNDEFINED>";
        } else {
            out.write(reinterpret_cast<const char*>(translation.data()),
                      static_cast<std::streamsize>(translation.size()));
        }
        out << std::endl;
    }
    out.flags(saved);
}

// --- TalvenTextArgs ---------------------------------------------------------------------------

TalvenTextArgs::TalvenTextArgs(const TalvenText& text) : TalvenText(text) {}

TalvenTextArgs& TalvenTextArgs::arg(const ByteString& value) {
    push_back(value);
    return *this;
}

TalvenTextArgs& TalvenTextArgs::arg(const char* utf8) {
    push_back(TextConvert::Bytes(utf8));
    return *this;
}

void TalvenTextArgs::format(ByteString& out, const std::vector<ByteString>& args) const {
    TalvenText::format(out, args);
}

void TalvenTextArgs::text(ByteString& out) const {
    TalvenText::format(out, *this);
}

// Localisable message texts: an identifier with an embedded English default, a process-wide
// registry of the library's constants sorted by identifier, positional arguments (%0, %1, ...),
// and the language object that supplies translations from plain-text language files.
#pragma once

#include "support/ByteString.h"

#include <cstdint>
#include <iosfwd>
#include <map>
#include <vector>

class TalvenText {
public:
    // One row of the fixed language table: a 3-letter code (NUL-terminated in 4 bytes) and the
    // display name.
    struct LanguageRow {
        char code[4];
        const char* name;
    };

    // Number of rows of the language table, and the index of the embedded English.
    static constexpr int LanguageCount = 17;
    static constexpr int EmbeddedEnglish = 16;

    // The source of translations. The built-in instance loads language files; a host may install
    // its own object (setLanguageImpl). Never raises from lookup.
    class LanguageImpl {
    public:
        LanguageImpl();
        virtual ~LanguageImpl();
        // Index of the current language (EmbeddedEnglish until a file is loaded).
        virtual int currentLanguage() const;
        // The table row of index, or nullptr for an index outside 0..16.
        virtual const LanguageRow* language(int index) const;
        // Writes the translation of id into out, or makes out empty when there is none.
        virtual void lookup(ByteString& out, std::int32_t id) const;
        // Loads "<folder>\<code>.txt" (folder in UTF-8; on the Windows 9x family the path is
        // opened through the ANSI code page). Selecting the current index again does nothing
        // and an index outside 0..16 is ignored. Otherwise the translations are cleared first,
        // and index 16 or a missing or unreadable file leaves the embedded English in force.
        // Never raises for bad file content: malformed lines are skipped (see LoadFromBytes).
        virtual void setLanguage(int index, const ByteString& folder);

    protected:
        // Replaces the translation map with the content of a language file. Encoding: UTF-8
        // after a mark EF BB BF, UTF-16 big-endian after a mark FE FF (a trailing odd byte is
        // dropped), anything else as UTF-8. Lines split at runs of CR and LF. A line that is
        // empty or starts with ';' or '#' is a comment. Otherwise it starts with the
        // identifier, without leading white space: decimal with an optional sign, or "0x" and
        // hexadecimal digits (the sign applies too: "-0x2710" is -10000). A line whose
        // identifier is 0, missing, or outside the signed 32-bit range is ignored. The rest of
        // the line, without surrounding ASCII white space, is the translation; a later line
        // for the same identifier replaces an earlier one, and an empty one falls back to the
        // embedded English.
        void LoadFromBytes(const std::vector<unsigned char>& bytes);

        int current_ = EmbeddedEnglish;
        std::map<std::int32_t, ByteString> translations_;
    };

    // A text without identifier: the default is used unchanged and never looked up.
    explicit TalvenText(const char* defaultText = nullptr);
    // A registered constant. The library creates these as static objects.
    TalvenText(std::int32_t id, const char* defaultText);
    // Copies are never registered.
    TalvenText(const TalvenText& other);
    // Copies identifier and default text. A registered target leaves the registry first, so
    // the target always ends unregistered and the registry stays sorted.
    TalvenText& operator=(const TalvenText& other);
    // A registered text unlinks itself from the registry.
    virtual ~TalvenText();

    virtual std::int32_t id() const;
    // Resolves the text and substitutes args[i] for each "%i". The search position only moves
    // forward, so placeholders must stand in ascending order of their numbers: one that stands
    // before the end of a lower-numbered substitution stays as it is, and so do placeholders
    // without an argument. With eleven or more arguments "%1" also matches the start of "%10".
    // Never raises for a missing translation.
    virtual void format(ByteString& out, const std::vector<ByteString>& args) const;
    // Resolves the text in the current language, falling back to the embedded English.
    virtual void text(ByteString& out) const;

    // Convenience: the resolved text as a value.
    ByteString str() const;
    const char* defaultText() const { return defaultText_; }
    bool isRegistered() const { return next_ != this; }

    // The registered constant with exactly this identifier, or nullptr.
    static const TalvenText* lookup(std::int32_t id);
    // The first registered constant (lowest identifier) and the one after text (nullptr at the
    // end or for an unregistered text), for walking the registry in order.
    static const TalvenText* first();
    static const TalvenText* next(const TalvenText* text);

    // Selects a language of the table for the current language object; folder is UTF-8.
    static void setLanguage(int index, const ByteString& folder);
    // Installs a language object (not owned); nullptr restores the built-in instance.
    static void setLanguageImpl(LanguageImpl* impl);
    static LanguageImpl* languageImpl();
    // Writes the registry with the current translations (UTF-8 with byte-order mark).
    static void Dump(std::ostream& out);

private:
    std::int32_t id_;
    const char* defaultText_;
    // The registry links const constants, so the link must stay writable after construction.
    mutable const TalvenText* next_;
};

// A text with positional arguments: the vector's elements are %0, %1, ... Append them after
// construction. Never registered.
class TalvenTextArgs : public TalvenText, public std::vector<ByteString> {
public:
    explicit TalvenTextArgs(const TalvenText& text);
    TalvenTextArgs(const TalvenTextArgs& other) = default;

    // Appends an argument (UTF-8) and returns *this, for chaining.
    TalvenTextArgs& arg(const ByteString& value);
    TalvenTextArgs& arg(const char* utf8);

    void format(ByteString& out, const std::vector<ByteString>& args) const override;
    // The text with this object's own arguments substituted.
    void text(ByteString& out) const override;
};

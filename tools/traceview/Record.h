// The trace viewer's reading of one WM_COPYDATA record, and the line it makes of it: the one
// line format shared by the console output and the window's Save and Copy.
#pragma once

#include <cstdint>
#include <string>

namespace TraceView {

// The dwData of a WM_COPYDATA that asks a viewer window to save the lines it shows: lpData is
// the file's path in UTF-16, without NUL. The window answers TRUE once the file is written.
constexpr std::uint32_t SaveRequestMagic = 0x54565356;

struct Record {
    std::uint32_t level = 0;
    std::int32_t value = 0;
    bool hasValue = false;
    std::string component; // ANSI code page, as traced
    std::string text;      // ANSI code page, as traced
};

// Checks a WM_COPYDATA payload (dwData, the cbData bytes at data) against the record layout.
// On success fills record and returns nullptr; otherwise returns why it was refused. Every
// length comes from size, never from the sender's fields alone.
const char* ParseRecord(std::uintptr_t dwData, const void* data, std::size_t size, Record& record);

// "[level] component (value N): text" followed by CR LF, in the record's own code page.
std::string FormatLine(std::uint32_t level, const std::string& component, bool hasValue,
                       std::int32_t value, const std::string& text);

} // namespace TraceView

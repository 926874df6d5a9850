// Reading and formatting of trace viewer records.
#include "Record.h"

#include "support/Trace.h"

#include <cstring>

namespace TraceView {

namespace {

namespace Layout = UTrace::ViewerRecord;

std::uint32_t GetU32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

} // namespace

const char* ParseRecord(std::uintptr_t dwData, const void* data, std::size_t size, Record& record) {
    if (dwData != Layout::Magic) {
        return "wrong dwData";
    }
    if (data == nullptr || size < Layout::HeaderSize || size > Layout::MaxSize) {
        return "size out of range";
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (GetU32(bytes + Layout::OffsetSize) != size) {
        return "size field differs from the bytes received";
    }
    if (GetU32(bytes + Layout::OffsetMagic) != Layout::Magic) {
        return "wrong magic";
    }
    const unsigned char hasValue = bytes[Layout::OffsetHasValue];
    if (hasValue > 1) {
        return "hasValue is neither 0 nor 1";
    }
    const auto* component = reinterpret_cast<const char*>(bytes + Layout::OffsetComponent);
    const void* componentEnd = std::memchr(component, '\0', Layout::ComponentSize);
    if (componentEnd == nullptr) {
        return "component not terminated";
    }
    const auto* text = reinterpret_cast<const char*>(bytes + Layout::OffsetText);
    const std::size_t textLength = size - Layout::HeaderSize;
    if (text[textLength] != '\0' || std::memchr(text, '\0', textLength) != nullptr) {
        return "text length differs from the size";
    }
    record.level = GetU32(bytes + Layout::OffsetLevel);
    record.value = static_cast<std::int32_t>(GetU32(bytes + Layout::OffsetValue));
    record.hasValue = hasValue == 1;
    record.component.assign(component, static_cast<const char*>(componentEnd));
    record.text.assign(text, textLength);
    return nullptr;
}

std::string FormatLine(std::uint32_t level, const std::string& component, bool hasValue,
                       std::int32_t value, const std::string& text) {
    std::string line = "[" + std::to_string(level) + "] ";
    line += component;
    if (hasValue) {
        line += component.empty() ? "(value " : " (value ";
        line += std::to_string(value) + ")";
    }
    if (!line.empty() && line.back() != ' ') {
        line += ": ";
    }
    line += text;
    line += "\r\n";
    return line;
}

} // namespace TraceView

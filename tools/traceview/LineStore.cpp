// The bounded line store of the trace viewer window.
#include "LineStore.h"

#include <algorithm>

namespace TraceView {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool Contains(const std::string& haystack, const std::string& lowerNeedle) {
    return std::search(haystack.begin(), haystack.end(), lowerNeedle.begin(), lowerNeedle.end(),
                       [](char a, char b) { return Lower(a) == b; }) != haystack.end();
}

// The heap block of a string, when it has left the in-object buffer.
std::uint64_t HeapBytes(const std::string& text) {
    return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}

} // namespace

LineStore::LineStore(std::size_t maxLines) : maxLines_(std::max<std::size_t>(maxLines, 1)) {}

void LineStore::Add(TraceLine line) {
    ++received_;
    if (lines_.size() == maxLines_) {
        lineBytes_ -= LineBytes(lines_.front());
        lines_.pop_front();
        if (!shown_.empty() && shown_.front() == firstLine_) {
            shown_.pop_front();
            ++firstShown_;
        }
        ++firstLine_;
        ++dropped_;
    }
    line.component.shrink_to_fit();
    line.text.shrink_to_fit();
    lineBytes_ += LineBytes(line);
    if (Matches(line)) {
        shown_.push_back(firstLine_ + lines_.size());
    }
    lines_.push_back(std::move(line));
}

void LineStore::SetFilter(const std::string& text, std::uint32_t maxLevel) {
    filterText_.clear();
    for (char c : text) {
        filterText_ += Lower(c);
    }
    maxLevel_ = maxLevel;
    firstShown_ += shown_.size(); // a new numbering: no old position names a new line
    shown_.clear();
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (Matches(lines_[i])) {
            shown_.push_back(firstLine_ + i);
        }
    }
}

void LineStore::Clear() {
    firstLine_ += lines_.size();
    firstShown_ += shown_.size();
    lines_.clear();
    shown_.clear();
    lineBytes_ = 0;
}

const TraceLine* LineStore::ShownLine(std::uint64_t position) const {
    if (position < firstShown_ || position >= EndShown()) {
        return nullptr;
    }
    const std::uint64_t sequence = shown_[static_cast<std::size_t>(position - firstShown_)];
    return &lines_[static_cast<std::size_t>(sequence - firstLine_)];
}

std::uint64_t LineStore::MemoryBytes() const {
    return lineBytes_ + shown_.size() * sizeof(std::uint64_t);
}

bool LineStore::Matches(const TraceLine& line) const {
    if (maxLevel_ != 0 && line.level > maxLevel_) {
        return false;
    }
    return filterText_.empty() || Contains(line.component, filterText_) ||
           Contains(line.text, filterText_);
}

std::uint64_t LineStore::LineBytes(const TraceLine& line) {
    return sizeof(TraceLine) + HeapBytes(line.component) + HeapBytes(line.text);
}

} // namespace TraceView

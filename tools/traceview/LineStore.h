// The lines a trace viewer window holds: at most a set number, oldest dropped first, with the
// subset that passes the filter kept beside them so that a virtual list can show it at once.
// Portable: no Windows types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace TraceView {

struct TraceLine {
    std::uint64_t received = 0; // arrival time, in the caller's clock units
    std::uint32_t process = 0;  // sender's process id, 0 when not known
    std::uint32_t level = 0;
    std::int32_t value = 0;
    bool hasValue = false;
    std::string component;
    std::string text;
};

class LineStore {
public:
    // maxLines of 0 is taken as 1.
    explicit LineStore(std::size_t maxLines);

    // Keeps line, dropping the oldest line when the store is full.
    void Add(TraceLine line);
    // Shows only lines whose component or text contains text (ASCII letters compared without
    // case; empty matches all) and whose level is at most maxLevel (0: every level).
    void SetFilter(const std::string& text, std::uint32_t maxLevel);
    // Forgets every line; the counts of received and dropped lines stay.
    void Clear();

    // Lines that pass the filter are numbered from 0 at the first ever shown ("shown
    // positions"); those still held are [FirstShown(), EndShown()).
    std::uint64_t FirstShown() const { return firstShown_; }
    std::uint64_t EndShown() const { return firstShown_ + shown_.size(); }
    // The line at a shown position, or nullptr when it is no longer held.
    const TraceLine* ShownLine(std::uint64_t position) const;

    std::size_t Held() const { return lines_.size(); }
    std::uint64_t Received() const { return received_; }
    std::uint64_t Dropped() const { return dropped_; }
    // Bytes held by the lines and the filter's index, heap blocks included (an estimate).
    std::uint64_t MemoryBytes() const;

private:
    bool Matches(const TraceLine& line) const;
    static std::uint64_t LineBytes(const TraceLine& line);

    std::size_t maxLines_;
    std::deque<TraceLine> lines_;
    std::uint64_t firstLine_ = 0;     // sequence number of lines_.front()
    std::deque<std::uint64_t> shown_; // sequence numbers of the lines that pass the filter
    std::uint64_t firstShown_ = 0;    // shown position of shown_.front()
    std::string filterText_;          // lower case
    std::uint32_t maxLevel_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t lineBytes_ = 0;
};

} // namespace TraceView

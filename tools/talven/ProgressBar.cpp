// ProgressBar: drawing and rate limiting of the talven tool's progress line.
#include "ProgressBar.h"

#include "support/TalvenException.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

std::atomic<bool> ProgressBar::cancelRequested_(false);
std::atomic<int> ProgressBar::active_(0);

namespace {

std::uint64_t SteadyMilliseconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// Characters, not bytes: UTF-8 continuation bytes do not count.
std::size_t CharCount(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

// The first count characters of text.
std::string CharPrefix(const std::string& text, std::size_t count) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == count) {
                return text.substr(0, i);
            }
            ++chars;
        }
    }
    return text;
}

// The last count characters of text.
std::string CharSuffix(const std::string& text, std::size_t count) {
    const std::size_t total = CharCount(text);
    if (count >= total) {
        return text;
    }
    std::size_t skip = total - count;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == skip) {
                return text.substr(i);
            }
            ++chars;
        }
    }
    return std::string();
}

std::string FormatDuration(std::uint64_t seconds) {
    char buffer[32];
    if (seconds >= 3600) {
        std::snprintf(buffer, sizeof buffer, "%u:%02u:%02u", static_cast<unsigned>(seconds / 3600),
                      static_cast<unsigned>(seconds / 60 % 60),
                      static_cast<unsigned>(seconds % 60));
    } else {
        std::snprintf(buffer, sizeof buffer, "%u:%02u", static_cast<unsigned>(seconds / 60),
                      static_cast<unsigned>(seconds % 60));
    }
    return buffer;
}

} // namespace

std::string FormatBytes(std::uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char buffer[32];
    if (unit == 0) {
        std::snprintf(buffer, sizeof buffer, "%u B", static_cast<unsigned>(bytes));
    } else {
        std::snprintf(buffer, sizeof buffer, "%.1f %s", value, units[unit]);
    }
    return buffer;
}

ProgressBar::ProgressBar(int width, Writer writer, Clock clock)
    : width_(std::max(width, 20)), writer_(std::move(writer)), clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = SteadyMilliseconds;
    }
    start_ = clock_();
    ++active_;
}

ProgressBar::~ProgressBar() {
    --active_;
}

void ProgressBar::SetTotal(std::uint64_t total, SizeOf sizeOf) {
    total_ = total;
    sizeOf_ = std::move(sizeOf);
    completed_ = 0;
    current_ = sizeOf_ ? 0 : total;
    fraction_ = 0.0;
}

bool ProgressBar::IsCancelled() {
    if (cancelRequested_.load()) {
        cancelled_ = true;
    }
    return cancelled_;
}

void ProgressBar::SetText(const TalvenTextArgs& text) {
    caption_ = TextConvert::Chars(text.str());
    if (sizeOf_ && !text.empty()) {
        // A new file begins: the previous one is complete.
        completed_ += current_;
        fraction_ = 0.0;
        current_ = sizeOf_(text[0]);
    }
    // The copy reports 0.0 just before its first caption: show the caption at once rather than
    // leave the line without one for a tenth of a second.
    if (drawn_ && !drawnCaption_ && !caption_.empty()) {
        Draw(false, true);
    }
}

void ProgressBar::SetProgress(double position) {
    fraction_ = std::min(std::max(position, 0.0), 1.0);
    Draw(false);
}

void ProgressBar::Refresh() {
    Draw(false);
}

void ProgressBar::Finish() {
    if (finished_) {
        return;
    }
    completed_ = std::max(total_, completed_ + current_);
    current_ = 0;
    fraction_ = 0.0;
    Draw(true);
}

std::uint64_t ProgressBar::Done() const {
    const std::uint64_t done =
        completed_ + static_cast<std::uint64_t>(fraction_ * static_cast<double>(current_));
    return std::min(done, std::max(total_, completed_ + current_));
}

void ProgressBar::RequestCancel() {
    cancelRequested_.store(true);
}

void ProgressBar::ResetCancel() {
    cancelRequested_.store(false);
}

std::string ProgressBar::Render() const {
    const std::uint64_t done = Done();
    const std::uint64_t total = std::max(total_, done);
    const double share = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const std::uint64_t elapsed = clock_() - start_;
    const double rate = elapsed == 0 ? 0.0 : static_cast<double>(done) * 1000.0 / elapsed;
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3u%%", static_cast<unsigned>(share * 100.0 + 1e-9));
    std::string status = std::string(" ") + percent + " " + FormatBytes(done) + " / " +
                         FormatBytes(total) + "  " + FormatBytes(static_cast<std::uint64_t>(rate)) +
                         "/s";
    if (done < total && rate > 0.0) {
        status += "  " + FormatDuration(static_cast<std::uint64_t>((total - done) / rate + 0.5)) +
                  " left";
    }
    const std::size_t width = static_cast<std::size_t>(width_);
    std::size_t statusChars = CharCount(status);
    if (statusChars > width) {
        status = CharPrefix(status, width);
        statusChars = width;
    }
    // The caption gets what the status leaves; a long path loses its middle.
    const std::size_t room = width - statusChars;
    std::string caption = caption_;
    if (CharCount(caption) > room) {
        if (room <= 3) {
            caption = CharPrefix("...", room);
        } else {
            const std::size_t head = (room - 3) / 2;
            caption = CharPrefix(caption, head) + "..." + CharSuffix(caption, room - 3 - head);
        }
    }
    std::string line = caption;
    line.append(room - CharCount(caption), ' ');
    return line + status;
}

void ProgressBar::Draw(bool final, bool force) {
    const std::uint64_t now = clock_();
    if (!final && !force && drawn_ && now - lastDraw_ < RedrawInterval) {
        return;
    }
    lastDraw_ = now;
    drawn_ = true;
    drawnCaption_ = !caption_.empty();
    ++draws_;
    std::string line = "\r" + Render();
    if (final) {
        finished_ = true;
        line += "\n";
    }
    writer_(line);
}

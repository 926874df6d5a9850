// ProgressBar: the talven tool's progress sink. Draws percentage, bytes done and total, rate and
// time left on one console line, at most ten times a second, with the "copying %0" caption in
// the selected language. The clock and the output are injectable so the drawing can be tested.
#pragma once

#include "Private/Tickler.h"
#include "support/ByteString.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class ProgressBar : public TickleImplBase {
public:
    // Milliseconds from any fixed start.
    using Clock = std::function<std::uint64_t()>;
    // Receives each drawn line (UTF-8, starting with "\r"; the last one ends with "\n").
    using Writer = std::function<void(const std::string&)>;
    // The size in bytes of the file a "copying %0" text names (%0 is the UTF-8 path).
    using SizeOf = std::function<std::uint64_t(const ByteString&)>;

    static constexpr std::uint64_t RedrawInterval = 100; // ms: ten redraws a second

    // width: the line's width in characters (at least 20 are used). An empty clock uses the
    // steady clock. Raises nothing.
    ProgressBar(int width, Writer writer, Clock clock = Clock());
    ~ProgressBar() override;
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // The bytes of the whole job and how to learn the size of each file as its caption
    // arrives. Without a size lookup the job is taken as one file of total bytes.
    void SetTotal(std::uint64_t total, SizeOf sizeOf = SizeOf());

    bool IsCancelled() override;
    void SetText(const TalvenTextArgs& text) override;
    void SetProgress(double position) override;
    void Refresh() override;

    // Draws 100 % and ends the line; later calls do nothing.
    void Finish();
    // Number of lines written so far.
    int DrawCount() const { return draws_; }
    // The line as it would be drawn now, without "\r", exactly width characters.
    std::string Render() const;

    // Asks every progress bar to stop: what the Ctrl+C handler calls. Safe from any thread.
    static void RequestCancel();
    static void ResetCancel();
    // Whether a progress bar exists, that is a copy or move is running that can stop cleanly.
    static bool AnyActive() { return active_.load() > 0; }

private:
    void Draw(bool final, bool force = false);
    std::uint64_t Done() const;

    int width_;
    Writer writer_;
    Clock clock_;
    SizeOf sizeOf_;
    std::uint64_t total_ = 0;
    std::uint64_t completed_ = 0; // bytes of the files finished before the current one
    std::uint64_t current_ = 0;   // size of the current file
    double fraction_ = 0.0;       // of the current file
    std::string caption_;
    std::uint64_t start_ = 0;
    std::uint64_t lastDraw_ = 0;
    bool drawn_ = false;
    bool drawnCaption_ = false; // the last line drawn had a caption
    bool finished_ = false;
    int draws_ = 0;

    static std::atomic<bool> cancelRequested_;
    static std::atomic<int> active_;
};

// "1.5 MiB", "512 B": sizes for people.
std::string FormatBytes(std::uint64_t bytes);

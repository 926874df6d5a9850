// Tests of the talven tool's progress bar against synthetic progress and a fake clock: the
// line's width whatever the caption, the percentage at its bounds, the rate limit of ten redraws
// a second, the final 100 %, the time left, and cancellation by Ctrl+C.
#include "tools/talven/ProgressBar.h"

#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Harness {
    std::uint64_t now = 1000;
    std::vector<std::string> lines;
    ProgressBar bar;

    explicit Harness(int width)
        : bar(
              width, [this](const std::string& line) { lines.push_back(line); },
              [this] { return now; }) {}

    // Every line starts with CR and is exactly width characters (not bytes) wide.
    void ExpectWidth(std::size_t width) const {
        for (const std::string& line : lines) {
            ASSERT_EQ(line[0], '\r');
            const std::size_t chars = static_cast<std::size_t>(std::count_if(
                line.begin(), line.end(), [](unsigned char c) { return (c & 0xC0) != 0x80; }));
            EXPECT_EQ(chars - 1 - (line.back() == '\n'), width) << "[" << line << "]";
        }
    }
};

TalvenTextArgs Copying(const char* path) {
    TalvenTextArgs text(FileException::CopyingFile);
    text.arg(path);
    return text;
}

TEST(ProgressBarTest, LinesKeepTheirWidthWhateverTheCaption) {
    const char* const captions[] = {
        "", "C:\\a.txt",
        "C:\\a-very-long-folder-name\\with-more-and-more-names\\and-"
        "a-file-whose-name-never-ends.txt",
        "C:\\Gr\xC3\xBC\xC3\x9F"
        "e\\\xE6\x97\xA5\xE6\x9C\xAC\\"
        "\xCE\xB1\xCE\xB2\xCE\xB3-and-more-text-to-make-it-too-long.txt"};
    for (int width : {20, 40, 79, 120}) {
        for (const char* caption : captions) {
            SCOPED_TRACE(std::to_string(width) + " " + caption);
            Harness h(width);
            h.bar.SetTotal(123456789);
            h.bar.SetText(Copying(caption));
            h.bar.SetProgress(0.5);
            h.now += 1000;
            h.bar.SetProgress(0.75);
            h.ExpectWidth(static_cast<std::size_t>(width));
            if (width >= 79 && std::string(caption).size() < 20) {
                EXPECT_NE(h.lines.back().find(std::string("copying ") + caption),
                          std::string::npos);
            }
        }
    }
}

// Each row drives a bar of 79 characters through steps, and names the lines drawn and parts of
// the first and the last. A step moves the clock, sets the caption (when given), then reports
// its position or finishes, `times` times over.
TEST(ProgressBarTest, DrawsWhatWasDoneAtMostTenTimesASecond) {
    constexpr double NoPosition = -1, Finish = -2;
    struct Step {
        std::uint64_t after;
        const char* caption;
        double position;
        int times;
    };
    const struct {
        std::uint64_t total; // 4000: a tree of "a" (1000 bytes) and "b" (3000 bytes)
        std::vector<Step> steps;
        std::size_t lines;
        std::string first, last;
    } rows[] = {
        {1000, {{0, nullptr, 0.0, 1}}, 1, "  0% 0 B / 1000 B  0 B/s", ""},
        {1000, {{1000, nullptr, 0.999, 1}}, 1, " 99% 999 B / 1000 B  999 B/s  0:00 left", ""},
        {0, {{0, nullptr, 0.5, 1}}, 1, "100% 0 B / 0 B", ""}, // an empty job is complete
        {1000, {{0, nullptr, 1.5, 1}}, 1, "100% 1000 B / 1000 B", ""},
        // 1000 reports in a second, then a burst within 100 ms.
        {1000, {{1, nullptr, .5, 1000}, {200, nullptr, .99, 1}, {1, nullptr, .99, 50}}, 11, "", ""},
        // The copy reports 0.0 before its first caption, which shows at once; later ones wait.
        {100,
         {{0, nullptr, 0, 1}, {0, "C:\\1st", .1, 1}, {0, "C:\\2nd", NoPosition, 1}},
         2,
         "",
         "copying C:\\1st"},
        {4096,
         {{0, "x", 0.25, 1}, {0, nullptr, Finish, 2}},
         2,
         " 25% 1.0 KiB / 4.0 KiB",
         "100% 4.0 KiB / 4.0 KiB  0 B/s\n"},
        {4000,
         {{0, "a", 1.0, 1}, {1000, "b", 1.0 / 3.0, 1}},
         2,
         "",
         " 50% 2.0 KiB / 3.9 KiB  2.0 KiB/s  0:01 left"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first + row.last);
        Harness h(79);
        h.bar.SetTotal(row.total, [](const ByteString& path) -> std::uint64_t {
            return TextConvert::Chars(path) == "a" ? 1000 : 3000;
        });
        if (row.total != 4000) {
            h.bar.SetTotal(row.total); // one file
        }
        for (const Step& step : row.steps) {
            for (int i = 0; i < step.times; ++i) {
                h.now += step.after;
                if (step.caption != nullptr) {
                    h.bar.SetText(Copying(step.caption));
                }
                if (step.position == Finish) {
                    h.bar.Finish();
                } else if (step.position != NoPosition) {
                    h.bar.SetProgress(step.position);
                }
            }
        }
        ASSERT_EQ(h.lines.size(), row.lines);
        EXPECT_NE(h.lines.front().find(row.first), std::string::npos) << h.lines.front();
        EXPECT_NE(h.lines.back().find(row.last), std::string::npos) << h.lines.back();
        EXPECT_EQ(h.lines.back().back() == '\n', !row.last.empty() && row.last.back() == '\n');
        h.ExpectWidth(79);
    }
}

TEST(ProgressBarTest, CancelRequestSetsTheCancelledFlag) {
    // Ctrl+C is taken over only while a bar (a copy) exists.
    EXPECT_FALSE(ProgressBar::AnyActive());
    Harness h(79);
    EXPECT_TRUE(ProgressBar::AnyActive());
    EXPECT_FALSE(h.bar.IsCancelled());
    ProgressBar::RequestCancel();
    EXPECT_TRUE(Tickler(&h.bar).IsCancelled());
    ProgressBar::ResetCancel();
}

TEST(ProgressBarTest, FormatsSizesForPeople) {
    const std::uint64_t sizes[] = {0, 1023, 1024, 1536, 5ull << 40, 5000ull << 40};
    const char* const texts[] = {"0 B", "1023 B", "1.0 KiB", "1.5 KiB", "5.0 TiB", "5000.0 TiB"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(FormatBytes(sizes[i]), texts[i]) << sizes[i];
    }
}

} // namespace

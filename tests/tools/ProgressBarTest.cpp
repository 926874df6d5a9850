// The talven tool's progress bar on synthetic progress and a fake clock: width whatever the
// caption, figures at their bounds, at most ten redraws a second, the final 100 %, time left.
#include "tools/talven/ProgressBar.h"

#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Each row drives a bar through steps and names the number of lines drawn and a part of the
// last, at 79 characters; at 20 and 120 only the width is checked. A step moves the clock, sets
// the caption (when given), then reports its position or finishes, `times` times over.
TEST(ProgressBarTest, DrawsWhatWasDoneAtMostTenTimesASecond) {
    constexpr double NoPosition = -1, Finish = -2;
    struct Step {
        std::uint64_t after;
        const char* caption;
        double position;
        int times = 1;
    };
    const char* const longCaption = "C:\\a-very-long-folder-name\\with-more-and-more-names\\and-a-"
                                    "file-whose-name-never-ends.txt";
    const char* const wideCaption = u8"C:\\Gr\u00fc\u00dfe\\\u65e5\u672c\\\u03b1\u03b2\u03b3-and-"
                                    u8"more-text-to-make-it-too-long.txt";
    const struct {
        std::uint64_t total; // 4000: a tree of "a" (1000 bytes) and "b" (3000 bytes)
        std::vector<Step> steps;
        std::size_t lines;
        std::string last;
    } rows[] = {
        {1000, {{0, nullptr, 0.0}}, 1, "  0% 0 B / 1000 B  0 B/s"},
        {1000, {{1000, nullptr, 0.999}}, 1, " 99% 999 B / 1000 B  999 B/s  0:00 left"},
        {0, {{0, nullptr, 0.5}}, 1, "100% 0 B / 0 B"}, // an empty job is complete
        {1023, {{0, nullptr, 1.5}}, 1, "100% 1023 B / 1023 B"},
        {5000ull << 40, {{0, nullptr, 0}}, 1, "0 B / 5000.0 TiB"},
        {123456788, {{0, longCaption, 0.5}}, 1, "-ends.txt  50% 58.9 MiB / 117.7 MiB  0 B/s"},
        {123456788, {{0, wideCaption, 0.5}, {1000, nullptr, 0.75}}, 2, " 75%"},
        {4096, {{0, "x", 0.25}, {0, nullptr, Finish, 2}}, 2, "100% 4.0 KiB / 4.0 KiB  0 B/s\n"},
        // 1000 reports in a second, then a burst within 100 ms.
        {1000, {{1, nullptr, .5, 1000}, {200, nullptr, .99}, {1, nullptr, .99, 50}}, 11, " 99%"},
        // The copy reports 0.0 before its first caption, which shows at once; later ones wait.
        {100, {{0, nullptr, 0}, {0, "1st", .1}, {0, "2nd", NoPosition}}, 2, "copying 1st"},
        {4000, {{0, "a", 1}, {1000, "b", 1.0 / 3}}, 2, " 50% 2.0 KiB / 3.9 KiB  2.0 KiB/s  0:01"},
    };
    const ProgressBar::SizeOf tree = [](const ByteString& path) -> std::uint64_t {
        return TextConvert::Chars(path) == "a" ? 1000 : 3000;
    };
    for (const auto& row : rows) {
        for (const int width : {79, 20, 120}) {
            SCOPED_TRACE(std::to_string(width) + " " + row.last);
            std::uint64_t now = 1000;
            std::vector<std::string> lines;
            ProgressBar bar(
                width, [&lines](const std::string& line) { lines.push_back(line); },
                [&now] { return now; });
            bar.SetTotal(row.total,
                         row.total == 4000 ? tree : ProgressBar::SizeOf()); // or one file
            for (const Step& step : row.steps) {
                for (int i = 0; i < step.times; ++i) {
                    now += step.after;
                    if (step.caption != nullptr) {
                        bar.SetText(TalvenTextArgs(FileException::CopyingFile).arg(step.caption));
                    }
                    if (step.position == Finish) {
                        bar.Finish();
                    } else if (step.position != NoPosition) {
                        bar.SetProgress(step.position);
                    }
                }
            }
            // Every line starts with CR and is exactly width characters (not bytes) wide.
            for (const std::string& line : lines) {
                ASSERT_EQ(line[0], '\r');
                const auto chars = std::count_if(
                    line.begin(), line.end(), [](unsigned char c) { return (c & 0xC0) != 0x80; });
                EXPECT_EQ(chars - 1 - (line.back() == '\n'), width) << "[" << line << "]";
            }
            if (width == 79) {
                ASSERT_EQ(lines.size(), row.lines);
                EXPECT_NE(lines.back().find(row.last), std::string::npos) << lines.back();
                EXPECT_EQ(lines.back().back() == '\n', row.last.back() == '\n');
            }
        }
    }
}

} // namespace

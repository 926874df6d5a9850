// Tests of the talven tool's progress bar against synthetic progress: the line's width, the
// rate limit of ten redraws a second, the final 100 %, and cancellation by Ctrl+C.
#include "tools/talven/ProgressBar.h"

#include "support/TalvenException.h"

#include <gtest/gtest.h>

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
};

std::size_t Chars(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text) {
        count += (c & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

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
            Harness h(width);
            h.bar.SetTotal(123456789);
            h.bar.SetText(Copying(caption));
            h.bar.SetProgress(0.5);
            h.now += 1000;
            h.bar.SetProgress(0.75);
            for (const std::string& line : h.lines) {
                ASSERT_EQ(line[0], '\r');
                EXPECT_EQ(Chars(line) - 1, static_cast<std::size_t>(width))
                    << width << " " << caption << " [" << line << "]";
            }
            if (width >= 79 && std::string(caption).size() < 20) {
                EXPECT_NE(h.lines.back().find(std::string("copying ") + caption),
                          std::string::npos);
            }
        }
    }
}

TEST(ProgressBarTest, RedrawsAtMostTenTimesASecond) {
    Harness h(79);
    h.bar.SetTotal(1000);
    // 1000 reports spread over one second: one every millisecond.
    for (int i = 0; i < 1000; ++i) {
        h.bar.SetProgress(i / 1000.0);
        ++h.now;
    }
    EXPECT_GE(h.lines.size(), 9u);
    EXPECT_LE(h.lines.size(), 11u);
    // A burst within 100 ms adds nothing.
    const std::size_t before = h.lines.size();
    h.now += 200;
    h.bar.SetProgress(0.99);
    for (int i = 0; i < 50; ++i) {
        h.bar.SetProgress(0.99);
        h.now += 1;
    }
    EXPECT_EQ(h.lines.size(), before + 1);
}

TEST(ProgressBarTest, TheFirstCaptionIsShownAtOnce) {
    Harness h(79);
    h.bar.SetTotal(100);
    h.bar.SetProgress(0.0); // the copy reports 0.0 before its caption
    h.bar.SetText(Copying("C:\\first.txt"));
    h.bar.SetProgress(0.1);
    h.bar.SetText(Copying("C:\\second.txt")); // later captions wait for the next redraw
    ASSERT_EQ(h.lines.size(), 2u);
    EXPECT_NE(h.lines[1].find("copying C:\\first.txt"), std::string::npos) << h.lines[1];
}

TEST(ProgressBarTest, FinishDrawsOneHundredPercentAndEndsTheLine) {
    Harness h(79);
    h.bar.SetTotal(4096);
    h.bar.SetText(Copying("C:\\x.bin"));
    h.bar.SetProgress(0.25);
    h.bar.Finish();
    h.bar.Finish(); // a second Finish draws nothing more
    ASSERT_EQ(h.lines.size(), 2u);
    EXPECT_NE(h.lines[0].find(" 25% 1.0 KiB / 4.0 KiB"), std::string::npos) << h.lines[0];
    EXPECT_NE(h.lines[1].find("100% 4.0 KiB / 4.0 KiB"), std::string::npos) << h.lines[1];
    EXPECT_EQ(h.lines[1].back(), '\n');
    EXPECT_EQ(h.lines[1].find(" left"), std::string::npos);
}

TEST(ProgressBarTest, FilesOfATreeAddUpAndTheRateGivesTheTimeLeft) {
    Harness h(100);
    // Two files of 1000 and 3000 bytes, each reported 0..1 as the copy does.
    h.bar.SetTotal(4000, [](const ByteString& path) -> std::uint64_t {
        return TextConvert::Chars(path) == "a" ? 1000 : 3000;
    });
    h.bar.SetText(Copying("a"));
    h.bar.SetProgress(1.0);
    h.bar.SetText(Copying("b"));
    h.now += 1000;
    h.bar.SetProgress(1.0 / 3.0);
    // 2000 of 4000 bytes after one second: 2000 B/s, one second left.
    EXPECT_NE(h.lines.back().find(" 50% 2.0 KiB / 3.9 KiB  2.0 KiB/s  0:01 left"),
              std::string::npos)
        << h.lines.back();
}

TEST(ProgressBarTest, CancelRequestSetsTheCancelledFlag) {
    // Ctrl+C is taken over only while a bar (a copy) exists.
    EXPECT_FALSE(ProgressBar::AnyActive());
    Harness h(79);
    EXPECT_TRUE(ProgressBar::AnyActive());
    EXPECT_FALSE(h.bar.IsCancelled());
    ProgressBar::RequestCancel();
    EXPECT_TRUE(h.bar.IsCancelled());
    EXPECT_TRUE(Tickler(&h.bar).IsCancelled());
    ProgressBar::ResetCancel();
}

TEST(ProgressBarTest, FormatsSizesForPeople) {
    const std::pair<std::uint64_t, const char*> cases[] = {{0, "0 B"},
                                                           {1023, "1023 B"},
                                                           {1024, "1.0 KiB"},
                                                           {1536, "1.5 KiB"},
                                                           {5u << 20, "5.0 MiB"},
                                                           {3ull << 30, "3.0 GiB"},
                                                           {5ull << 40, "5.0 TiB"},
                                                           {5000ull << 40, "5000.0 TiB"}};
    for (const auto& c : cases) {
        EXPECT_EQ(FormatBytes(c.first), c.second) << c.first;
    }
}

} // namespace

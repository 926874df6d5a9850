// The trace facility as the debugger sees it: silence before init, the level rules and flags,
// scope lines and their indentation, results, exception lines, cuts, timestamps, the component
// and the filter.
#include "support/Trace.h"

#include "TraceTestSupport.h"
#include "support/TalvenException.h"
#include "support/TalvenText.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

TraceTestSupport::DebuggerCapture& Capture() {
    static TraceTestSupport::DebuggerCapture capture;
    return capture;
}

// Keeps these tests' lines away from a viewer window that another test program may show.
bool NoViewer(std::uint32_t, const char*, const char*) {
    return false;
}

class Trace : public ::testing::Test {
protected:
    void SetUp() override {
        UTrace::shutdown();
        ASSERT_TRUE(UTrace::init());
        UTrace::setFilter(&NoViewer);
        UTrace::setComponent("Test");
        Capture().Clear();
    }
    void TearDown() override { UTrace::shutdown(); }
};

TEST(TraceLifecycle, NothingReachesTheDebuggerBeforeInit) {
    UTrace::shutdown();
    Capture().Clear();
    UTrace::trace1("level one");
    UTrace::traceComponent("C", 1, "given component");
    UTrace::traceException(TalvenException(TalvenText("boom")), "prefix");
    {
        UTrace::Function scope("Open");
        scope.setResult(1, nullptr);
    }
    EXPECT_TRUE(Capture().Calls().empty());

    ASSERT_TRUE(UTrace::init());
    EXPECT_FALSE(UTrace::init()) << "a second init must report that nothing was done";
    UTrace::setLevel(3);
    UTrace::setFlags(7);
    UTrace::setComponent("Old");
    UTrace::shutdown();
    ASSERT_TRUE(UTrace::init());
    std::size_t size = 0;
    UTrace::getComponent(nullptr, size);
    EXPECT_EQ(UTrace::getLevel(), 0);
    EXPECT_EQ(UTrace::getFlags(), 3u);
    EXPECT_EQ(size, 1u) << "init empties the component";
    UTrace::shutdown();
    UTrace::trace1("after shutdown");
    EXPECT_TRUE(Capture().Calls().empty());
}

TEST_F(Trace, LevelRulesAndFlags) {
    struct Case {
        std::int32_t level;
        std::uint32_t flags;
        Lines expected;
    };
    const std::vector<Case> cases = {
        // Bit 1 overrides the level: with the defaults every level is written.
        {0, 3, {"Test: one", "Test: two", "Test: three", "Test: value", "Test: four"}},
        {2, 1, {"Test: one", "Test: two"}},
        {3, 1, {"Test: one", "Test: two", "Test: three", "Test: value"}},
        {-1, 1, {}},
        // Without bit 0 nothing reaches the debugger.
        {4, 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level) + ", flags " + std::to_string(c.flags));
        UTrace::setLevel(c.level);
        UTrace::setFlags(c.flags);
        Capture().Clear();
        UTrace::trace1("one");
        UTrace::trace2("two");
        UTrace::trace3("three");
        UTrace::trace3Value(9, "value");
        UTrace::trace(4, "four");
        EXPECT_EQ(Capture().Lines(), c.expected);
    }
}

TEST_F(Trace, ScopeLinesIgnoreTheLevelAndIndentByDepth) {
    UTrace::setFlags(1);
    UTrace::setLevel(0); // level-4 scope lines are written all the same
    {
        UTrace::Function open("Open");
        UTrace::trace(0, "inside %d", 1);
        {
            UTrace::FunctionComponent read("Disk", "Read", "%d bytes at %s", 12, "0x10");
            UTrace::traceComponent("Disk", 0, "deeper");
            EXPECT_EQ(read.setResult(-3, "failed with %s", "E"), -3);
        }
        UTrace::trace(0, "back");
        EXPECT_EQ(open.setResult(5, nullptr), 5);
        EXPECT_EQ(open.result(), 5);
    }
    UTrace::trace(0, "after");
    const Lines expected = {
        "Test: Open - enter",
        "Test:   inside 1",
        "Disk:   Read - 12 bytes at 0x10",
        "Disk:     deeper",
        "Disk:   Read - failed with E",
        "Test:   back",
        "Test: Open - return = 5",
        "Test: after",
    };
    EXPECT_EQ(Capture().Lines(), expected);
}

TEST_F(Trace, SilentIsComparedByPointer) {
    {
        UTrace::Function quiet("Quiet", UTrace::silent); // no entry line, but one step deeper
        UTrace::trace1("inside quiet");
    }
    {
        UTrace::Function loud("Loud", "silent"); // the same letters elsewhere are plain text
        UTrace::trace1("silent");
        const auto trace1 = &UTrace::trace1; // the marker as format: a pointer skips the check
        trace1(UTrace::silent);
        loud.setResult(7, UTrace::silent);
        EXPECT_EQ(loud.result(), 7);
    }
    {
        UTrace::Function later("Later");
        later.setResult(1, UTrace::silent);
        later.setResult(2, "two"); // once silent, the exit line stays suppressed
    }
    const Lines expected = {
        "Test:   inside quiet", "Test: Quiet - return", "Test: Loud - silent",
        "Test:   silent",       "Test: Later - enter",
    };
    EXPECT_EQ(Capture().Lines(), expected);
}

TEST_F(Trace, ExceptionLines) {
    FileException notFound(FileException::FileNotFound, TextConvert::Bytes("C:\\a.txt"));
    ASSERT_EQ(notFound.code(), -10005);
    ASSERT_EQ(TextConvert::Chars(notFound.message()), "file not found");
    UTrace::traceException(notFound, "Copy");
    UTrace::traceException(notFound);
    notFound.setNote("second try");
    UTrace::traceExceptionComponent("Files", notFound, "");
    // A message with printf directives is text, not a format.
    UTrace::traceException(TalvenException(TalvenText("100%s %d")), "P%s");
    UTrace::setLevel(0);
    UTrace::setFlags(1); // level 1 is above level 0: the exception line is not written
    UTrace::traceException(notFound, "hidden");
    const Lines expected = {
        "Test: Copy: error = -10005, message = \"file not found\"",
        "Test: error = -10005, message = \"file not found\"",
        "Files: error = -10005, message = \"file not found\", note = \"second try\"",
        "Test: P%s: error = 0, message = \"100%s %d\"",
    };
    EXPECT_EQ(Capture().Lines(), expected);
}

TEST_F(Trace, ExceptionMessageIsInTheAnsiCodePage) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "needs ANSI code page 1252";
    }
    UTrace::traceException(TalvenException(TalvenText("caf\xC3\xA9")));
    EXPECT_EQ(Capture().Lines(), (Lines{"Test: error = 0, message = \"caf\xE9\""}));
}

TEST_F(Trace, LongLinesAreCutTo1023Characters) {
    const std::string longText(2000, 'x');
    UTrace::trace1("%s", longText.c_str());
    {
        UTrace::Function scope("S", UTrace::silent);
        UTrace::trace1("%s", longText.c_str()); // the indentation counts against the limit
        scope.setResult(0, "%s", longText.c_str());
    }
    UTrace::setFlags(UTrace::FlagDebugger | UTrace::FlagAllLevels | UTrace::FlagTimestamp);
    UTrace::trace1("%s", longText.c_str()); // and so does the timestamp
    const Lines lines = Capture().Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Test: " + std::string(1023, 'x'));
    EXPECT_EQ(lines[1], "Test:   " + std::string(1021, 'x'));
    EXPECT_EQ(lines[2], "Test: S - " + std::string(1019, 'x'));
    ASSERT_EQ(lines[3].size(), 6u + 1023u);
    const std::size_t start = lines[3].find(" : ") + 3;
    EXPECT_EQ(lines[3].substr(start), std::string(6 + 1023 - start, 'x'));
}

TEST_F(Trace, ComponentIsCutAndPrefixesTheLine) {
    UTrace::setComponent(nullptr);
    UTrace::trace1("empty process component");
    UTrace::traceComponent(nullptr, 1, "no component");
    UTrace::setComponent(std::string(80, 'c').c_str());
    UTrace::trace1("long");
    const Lines expected = {": empty process component", "no component",
                            std::string(63, 'c') + ": long"};
    EXPECT_EQ(Capture().Lines(), expected);

    UTrace::setComponent("Network");
    std::size_t size = 0;
    UTrace::getComponent(nullptr, size);
    EXPECT_EQ(size, 8u);
    char small[5] = "????";
    size = sizeof small;
    UTrace::getComponent(small, size);
    EXPECT_STREQ(small, "Netw");
    size = 0;
    UTrace::getComponent(small, size);
    EXPECT_STREQ(small, "Netw") << "a zero-sized buffer is left alone";
}

TEST_F(Trace, TimestampLeadsTheLine) {
    UTrace::setFlags(UTrace::FlagDebugger | UTrace::FlagAllLevels | UTrace::FlagTimestamp);
    LARGE_INTEGER frequency;
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    ASSERT_TRUE(::QueryPerformanceFrequency(&frequency));
    ::QueryPerformanceCounter(&before);
    {
        UTrace::Function scope("F", UTrace::silent);
        UTrace::trace1("stamped");
    }
    ::QueryPerformanceCounter(&after);
    const Lines lines = Capture().Lines();
    ASSERT_EQ(lines.size(), 2u);
    unsigned hours = 0;
    unsigned minutes = 0;
    unsigned seconds = 0;
    unsigned millis = 0;
    int consumed = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "Test: %u:%u:%u.%3u :%n", &hours, &minutes, &seconds,
                          &millis, &consumed),
              4)
        << lines[0];
    EXPECT_LT(minutes, 60u);
    EXPECT_LT(seconds, 60u);
    EXPECT_EQ(lines[0].substr(consumed), "   stamped") << "timestamp, then indentation";
    EXPECT_EQ(lines[0][lines[0].find('.') + 4], ' ') << "milliseconds have three digits";
    // The stamp is the performance counter in seconds since it started.
    const double stamp = hours * 3600.0 + minutes * 60.0 + seconds + millis / 1000.0;
    const double low = static_cast<double>(before.QuadPart) / frequency.QuadPart;
    const double high = static_cast<double>(after.QuadPart) / frequency.QuadPart;
    EXPECT_GE(stamp, low - 0.002);
    EXPECT_LE(stamp, high + 0.002);
}

std::vector<std::string> filterSaw;

bool Reentering(std::uint32_t, const char*, const char* message) {
    filterSaw.push_back(message);
    UTrace::trace1("from the filter"); // must be dropped, not re-enter without end
    return false;
}

bool Throwing(std::uint32_t, const char*, const char*) {
    throw std::runtime_error("filter failed");
}

TEST_F(Trace, FilterThatTracesIsNotReentered) {
    filterSaw.clear();
    UTrace::setFilter(&Reentering);
    UTrace::trace1("outer");
    EXPECT_EQ(filterSaw, (Lines{"outer"}));
    EXPECT_EQ(Capture().Lines(), (Lines{"Test: outer"}));
}

TEST_F(Trace, ScopeObjectsAndWritersSwallowFailuresOfWriting) {
    UTrace::setFilter(&Throwing);
    EXPECT_NO_THROW(UTrace::trace1("line"));
    EXPECT_NO_THROW({
        UTrace::Function scope("Guarded", "arg %d", 1);
        scope.setResult(2, nullptr);
    });
    const Lines expected = {"Test: line", "Test: Guarded - arg 1", "Test: Guarded - return = 2"};
    EXPECT_EQ(Capture().Lines(), expected);
}

TEST_F(Trace, DisabledLevelFormatsNothing) {
    UTrace::setFlags(1);
    UTrace::setLevel(1);
    // A bad pointer behind %s would crash if the disabled line were formatted.
    const char* invalid = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(0x10));
    UTrace::trace2("%s", invalid);
    UTrace::trace3Value(1, "%s", invalid);
    EXPECT_TRUE(Capture().Calls().empty());
}

} // namespace

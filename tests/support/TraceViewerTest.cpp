// The trace facility as the debugger and a viewer window see it: silence outside init, levels
// and flags, scope lines and their depth, the silent marker, exceptions, the component, cuts,
// timestamps, the filter, every field of a viewer record, a viewer that comes late or is
// replaced, eight threads at once; and traceview.exe end to end with a traced program.
#include "support/Trace.h"

#include "TraceTestSupport.h"
#include "support/TalvenException.h"
#include "support/TalvenText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <stdexcept>
#include <thread>

namespace {

using namespace TraceTestSupport;
class Trace : public ViewerProcessTest {
protected:
    void SetUp() override {
        ASSERT_EQ(FindViewer(0), nullptr) << "another trace viewer is running";
        Restart();
    }
    void TearDown() override {
        UTrace::shutdown();
        ViewerProcessTest::TearDown();
    }
    // Starts tracing again, which looks for a viewer at once.
    void Restart() {
        UTrace::shutdown();
        ASSERT_TRUE(UTrace::init());
        UTrace::setComponent("Test");
        capture_.Clear();
    }
    // Starts traceview printing to file, then tracing, which finds it at once.
    void StartViewerAndTracing(const std::wstring& file, const wchar_t* options) {
        StartViewer(L"-o \"" + file + L"\" " + options);
        Restart();
    }

    DebuggerCapture capture_;
};

TEST_F(Trace, SilentOutsideInitAndShutdownAndInitResets) {
    UTrace::setLevel(3);
    UTrace::setFlags(7);
    UTrace::setComponent("Network");
    std::size_t size = 0;
    UTrace::getComponent(nullptr, size);
    EXPECT_EQ(size, 8u);
    char small[5] = "????";
    UTrace::getComponent(small, size = sizeof small);
    EXPECT_STREQ(small, "Netw");
    UTrace::getComponent(small, size = 0);
    EXPECT_STREQ(small, "Netw") << "a zero-sized buffer is left alone";
    EXPECT_FALSE(UTrace::init()) << "a second init changes nothing";
    UTrace::shutdown();
    UTrace::trace1("after shutdown");
    UTrace::traceException(TalvenException(TalvenText("boom")), "prefix");
    UTrace::Function("Open").setResult(1, nullptr);
    EXPECT_TRUE(capture_.Lines().empty());
    ASSERT_TRUE(UTrace::init());
    UTrace::getComponent(nullptr, size);
    EXPECT_EQ(size, 1u) << "init empties the component";
    EXPECT_EQ(UTrace::getLevel(), 0);
    EXPECT_EQ(UTrace::getFlags(), 3u);
}

// Bit 1 writes every level whatever the level says; without bit 0 nothing reaches the debugger.
TEST_F(Trace, LevelRulesAndFlags) {
    const Lines all = {"Test: 1", "C: 2", "Test: 3", "Test: 3", "C: 4"};
    const struct {
        std::uint32_t flags;
        std::int32_t level;
        std::size_t written; // the first lines of all
    } rows[] = {{3, 0, 5}, {1, 3, 4}, {1, 1, 1}, {1, -1, 0}, {2, 4, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE("flags " + std::to_string(row.flags) + ", level " + std::to_string(row.level));
        UTrace::setFlags(row.flags);
        UTrace::setLevel(row.level);
        capture_.Clear();
        UTrace::trace1("1");
        UTrace::trace2Component("C", "2");
        UTrace::trace3("3");
        UTrace::trace3Value(9, "3");
        UTrace::traceComponent("C", 4, "4");
        EXPECT_EQ(capture_.Lines(), Lines(all.begin(), all.begin() + row.written));
    }
    // A disabled line is not formatted: the bad pointer behind %s would crash.
    UTrace::setFlags(UTrace::FlagDebugger);
    UTrace::setLevel(1);
    UTrace::trace2("%s", reinterpret_cast<const char*>(std::uintptr_t{0x10}));
}

TEST_F(Trace, ScopeLinesIgnoreTheLevelAndIndentByDepth) {
    UTrace::setFlags(UTrace::FlagDebugger); // and level 0, below the scope lines' 4
    {
        UTrace::Function open("Open");
        UTrace::trace(0, "inside %d", 1);
        UTrace::FunctionComponent read("Disk", "Read", "%d bytes", 12);
        UTrace::trace(0, "deeper");
        EXPECT_EQ(read.setResult(-3, "failed with %s", "E"), -3);
        EXPECT_EQ(open.setResult(5, nullptr), 5);
        EXPECT_EQ(open.result(), 5);
    }
    UTrace::trace(0, "after");
    EXPECT_EQ(capture_.Lines(),
              (Lines{"Test: Open - enter", "Test:   inside 1", "Disk:   Read - 12 bytes",
                     "Test:     deeper", "Disk:   Read - failed with E", "Test: Open - return = 5",
                     "Test: after"}));
}

TEST_F(Trace, SilentMarkerIsComparedByPointer) {
    UTrace::Function("Quiet", UTrace::silent), UTrace::trace1("inside"); // one step deeper
    UTrace::Function loud("Loud", "silent"); // the same letters elsewhere are plain text
    UTrace::trace1("silent");
    const auto trace1 = &UTrace::trace1; // through a pointer: no format check
    trace1(UTrace::silent);
    trace1(nullptr); // an empty message
    UTrace::Function later("Later");
    later.setResult(1, UTrace::silent);
    later.setResult(2, "two"); // once silent, the exit line stays suppressed
    loud.setResult(7, UTrace::silent);
    EXPECT_EQ(capture_.Lines(),
              (Lines{"Test:   inside", "Test: Quiet - return", "Test: Loud - silent",
                     "Test:   silent", "Test:   ", "Test:   Later - enter"}));
}

TEST_F(Trace, ExceptionLinesInTheAnsiCodePage) {
    FileException notFound(FileException::FileNotFound, TextConvert::Bytes("C:\\a.txt"));
    UTrace::traceException(notFound, "Copy");
    notFound.setNote("second try");
    UTrace::traceExceptionComponent("Files", notFound, "");
    UTrace::traceException(notFound, std::string(1100, 'p').c_str());
    // printf directives in the message are text; the message is in the ANSI code page.
    UTrace::traceException(TalvenException(TalvenText("%s caf\xC3\xA9")));
    char ansi[16] = {};
    ::WideCharToMultiByte(CP_ACP, 0, L"%s caf\u00E9", -1, ansi, sizeof ansi, nullptr, nullptr);
    UTrace::setFlags(1); // level 1 is above level 0: no line
    UTrace::traceException(notFound, "hidden");
    EXPECT_EQ(capture_.Lines(),
              (Lines{"Test: Copy: error = -10005, message = \"file not found\"",
                     "Files: error = -10005, message = \"file not found\", note = \"second try\"",
                     "Test: " + std::string(1023, 'p'),
                     "Test: error = 0, message = \"" + std::string(ansi) + "\""}));
}

TEST_F(Trace, ComponentAndLongLinesAreCut) {
    UTrace::setComponent(nullptr);
    UTrace::trace1("empty process component");
    UTrace::traceComponent(nullptr, 1, "no component");
    UTrace::FunctionComponent(nullptr, nullptr);
    UTrace::setComponent(std::string(80, 'c').c_str());
    UTrace::trace1("long");
    UTrace::setComponent("Test");
    const std::string x(2000, 'x');
    UTrace::trace1("%s", x.c_str());
    UTrace::Function scope("S", UTrace::silent);
    UTrace::trace1("%s", x.c_str()); // the indentation counts, and so does the name
    UTrace::Function(x.c_str(), UTrace::silent).setResult(0, "%s", x.c_str());
    EXPECT_EQ(capture_.Lines(),
              (Lines{": empty process component", "no component", ":  - enter", ":  - return",
                     std::string(63, 'c') + ": long", "Test: " + x.substr(0, 1023),
                     "Test:   " + x.substr(0, 1021), "Test:   " + x.substr(0, 1021)}));
}

TEST_F(Trace, TimestampLeadsTheLineAndCountsAgainstItsLength) {
    UTrace::setFlags(UTrace::FlagDebugger | UTrace::FlagAllLevels | UTrace::FlagTimestamp);
    UTrace::Function("F", UTrace::silent).setResult(0, UTrace::silent), UTrace::trace1("stamped");
    UTrace::trace1("%s", std::string(2000, 'x').c_str());
    const Lines lines = capture_.Lines();
    ASSERT_EQ(lines.size(), 2u);
    const std::regex stamped(R"(Test: \d+:[1-5]?\d:[1-5]?\d\.\d{3} :   stamped)");
    EXPECT_TRUE(std::regex_match(lines[0], stamped)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(Test: [0-9:.]+ : x+)")));
    EXPECT_EQ(lines[1].size(), 6u + 1023u) << "the stamp counts against the 1023 characters";
}

// traceview.exe as the viewer: it refuses records that break the layout.
TEST_F(Trace, ViewerGetsEveryFieldOfTheRecord) {
    StartViewerAndTracing(output_, L"--count 9");
    UTrace::trace3Value(-7, "value %d", 1);
    UTrace::trace1("plain");
    UTrace::trace3ValueComponent("Values", 0, "zero is a value too");
    UTrace::traceComponent(nullptr, 2, "no component");
    UTrace::setComponent(std::string(70, 'k').c_str());
    UTrace::trace(4, "%s", "");
    UTrace::FunctionComponent("Scope", "Open", nullptr), UTrace::trace3Component("Scope", "in");
    UTrace::trace1Component("Long", "%s", std::string(5000, 'y').c_str()); // the largest record
    EXPECT_EQ(viewer_.Wait(20000), 0) << "--count ends the viewer";
    UTrace::trace1("after the viewer has gone"); // looks again at once, and finds none
    EXPECT_EQ(
        ReadLines(output_),
        (Lines{"[3] Test (value -7): value 1", "[1] Test: plain",
               "[3] Values (value 0): zero is a value too", "[2] no component",
               "[4] " + std::string(63, 'k') + ": ", "[4] Scope: Open - enter", "[3] Scope:   in",
               "[4] Scope: Open - return", "[1] Long: " + std::string(1023, 'y')}));
}

// The filter sees the message without indentation and timestamp; it keeps a line from the
// viewer by its answer or by raising, and a line it traces itself is dropped.
TEST_F(Trace, FilterDecidesWhatTheViewerGets) {
    StartViewerAndTracing(output_, L"");
    static Lines filtered;
    UTrace::setFilter([](std::uint32_t level, const char* component, const char* message) {
        filtered.push_back(std::to_string(level) + "|" + component + "|" + message);
        if (std::strcmp(message, "raise") == 0) {
            UTrace::trace1("from the filter");
            throw std::runtime_error("filter failed");
        }
        return std::strcmp(message, "drop") != 0;
    });
    UTrace::setFlags(7);
    UTrace::Function("Work", "%s", "begin"), UTrace::trace1("keep"),
        UTrace::trace2Component("Other", "drop"), UTrace::trace3Value(3, "raise");
    EXPECT_EQ(Run(L"traceview.exe", L"--stop"), 0);
    EXPECT_EQ(viewer_.Wait(20000), 0) << "--stop ends the running viewer";
    EXPECT_EQ(filtered, (Lines{"4|Test|Work - begin", "1|Test|keep", "2|Other|drop", "3|Test|raise",
                               "4|Test|Work - return"}));
    Lines texts = ReadLines(output_);
    for (std::string& text : texts) {
        text.erase(0, text.find(" : ") + 3); // the timestamp
    }
    EXPECT_EQ(texts, (Lines{"Work - begin", "  keep", "Work - return"}));
    EXPECT_EQ(capture_.Lines().size(), 5u) << "the debugger gets every line but the filter's";
}

TEST_F(Trace, ViewerThatComesLateOrIsReplacedGetsTheNextLines) {
    UTrace::trace1("before any viewer");
    StartViewer(L"--count 1 -o \"" + output_ + L"\"");
    const DWORD started = ::GetTickCount();
    for (int i = 0; ::IsWindow(window_) && ::GetTickCount() - started < 8000; ::Sleep(50)) {
        UTrace::trace1("line %d", i++);
    }
    EXPECT_LE(::GetTickCount() - started, 3500u) << "the lookup interval is 3 s";
    EXPECT_EQ(viewer_.Wait(20000), 0);
    EXPECT_THAT(ReadLines(output_),
                ::testing::ElementsAre(::testing::StartsWith("[1] Test: line ")));
    const std::wstring second = folder_.Child(L"second.txt");
    StartViewer(L"--timeout 2000 -o \"" + second + L"\"");
    UTrace::trace1("to the second");
    EXPECT_EQ(viewer_.Wait(20000), 0) << "the timeout ends the viewer";
    EXPECT_EQ(ReadLines(second), Lines{"[1] Test: to the second"});
}

// Each writer works at a depth of its own and all start together, so that their lines compete
// for the lock; each writer's lines must arrive whole, in order and at its depth.
TEST_F(Trace, EightThreadsNeitherInterleaveNorLoseLines) {
    constexpr int Threads = 8;
    constexpr int PerThread = 2000; // not more: each OutputDebugStringA raises an exception
    StartViewerAndTracing(output_, L"--count 16000");
    std::atomic<int> waiting{Threads};
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t) {
        writers.emplace_back([t, &waiting] {
            std::vector<std::unique_ptr<UTrace::Function>> scopes(t);
            for (auto& scope : scopes) {
                scope = std::make_unique<UTrace::Function>("scope", UTrace::silent);
                scope->setResult(0, UTrace::silent);
            }
            for (--waiting; waiting > 0;) {
                std::this_thread::yield();
            }
            for (int i = 0; i < PerThread; ++i) {
                UTrace::trace3Value(i, "thread %d line %d", t, i);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(viewer_.Wait(20000), 0);
    for (Lines texts : {ReadLines(output_), capture_.Lines()}) { // the debugger's in whole lines
        ASSERT_EQ(texts.size(), std::size_t{Threads * PerThread});
        std::vector<int> next(Threads, 0);
        for (std::string& text : texts) {
            text.erase(0, text.find(": ") + 2);
            int t = -1;
            ASSERT_TRUE(std::sscanf(text.c_str(), " thread %d", &t) == 1 && t >= 0 && t < Threads)
                << text;
            ASSERT_EQ(text, std::string(2 * t, ' ') + "thread " + std::to_string(t) + " line " +
                                std::to_string(next[t]++));
        }
    }
}

} // namespace

// The trace facility as the debugger and traceview.exe see it, alone and from eight threads.
#include "TraceTestSupport.h"
#include "support/TalvenException.h"
#include "support/TalvenText.h"

#include <gmock/gmock.h>

#include <atomic>
#include <deque>
#include <thread>

namespace {

using namespace TraceTestSupport;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;
using ::testing::SizeIs;

class Trace : public ViewerProcessTest {
protected:
    void SetUp() override {
        ASSERT_EQ(FindViewer(0), nullptr) << "another trace viewer is running";
        Restart();
    }
    // Starts tracing again, which looks for a viewer at once (and ends what a test left on).
    void Restart() {
        UTrace::shutdown();
        ASSERT_TRUE(UTrace::init());
        UTrace::setComponent("Test");
        capture_.Clear();
    }

    DebuggerCapture capture_;
};

// Silent outside init; init resets. Flag bit 1 writes every level; without bit 0, nothing.
TEST_F(Trace, LevelsFlagsScopesExceptionsAndLongLines) {
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
    UTrace::setComponent("Test");
    const Lines all = {"Test: 1", "C: 2", "Test: 3", "Test: 3", "C: 4"};
    // flags, level, how many of the first lines of all are written
    const int rows[][3] = {{3, 0, 5}, {1, 3, 4}, {1, 1, 1}, {1, -1, 0}, {2, 4, 0}};
    for (const auto& [flags, level, written] : rows) {
        SCOPED_TRACE("flags " + std::to_string(flags) + ", level " + std::to_string(level));
        UTrace::setFlags(flags);
        UTrace::setLevel(level);
        capture_.Clear();
        UTrace::trace1("1");
        UTrace::trace2Component("C", "2");
        UTrace::trace3("3");
        UTrace::trace3Value(9, "3");
        UTrace::traceComponent("C", 4, "4");
        EXPECT_EQ(capture_.Lines(), Lines(all.begin(), all.begin() + written));
    }
    // A disabled line is not formatted: the bad pointer behind %s would crash.
    UTrace::setFlags(UTrace::FlagDebugger);
    UTrace::setLevel(1);
    UTrace::trace2("%s", reinterpret_cast<const char*>(std::uintptr_t{0x10}));
    // Exceptions in the ANSI code page; components cut to 63 characters, lines to 1023 in all.
    Restart();
    FileException notFound(FileException::FileNotFound, TextConvert::Bytes("C:\\a.txt"));
    UTrace::traceException(notFound, "Copy");
    notFound.setNote("second try");
    UTrace::traceExceptionComponent("Files", notFound, "");
    UTrace::traceException(notFound, std::string(1100, 'p').c_str());
    UTrace::traceException(TalvenException(TalvenText("%s caf\xC3\xA9"))); // %s is text
    char ansi[16] = {};
    ::WideCharToMultiByte(CP_ACP, 0, L"%s caf\u00E9", -1, ansi, sizeof ansi, nullptr, nullptr);
    UTrace::setFlags(1); // level 1 is above level 0: no line
    UTrace::traceException(notFound, "hidden");
    UTrace::setFlags(3);
    UTrace::setComponent(nullptr);
    UTrace::trace1("empty process component");
    UTrace::traceComponent(nullptr, 1, "no component");
    UTrace::FunctionComponent(nullptr, nullptr);
    UTrace::setComponent(std::string(80, 'c').c_str());
    UTrace::trace1("long");
    UTrace::setComponent("Test");
    const std::string x(2000, 'x');
    UTrace::trace1("%s", x.c_str());
    UTrace::Function("S", UTrace::silent), UTrace::trace1("%s", x.c_str()),
        UTrace::Function(x.c_str(), UTrace::silent).setResult(0, "%s", x.c_str()); // one deeper
    EXPECT_EQ(capture_.Lines(),
              (Lines{"Test: Copy: error = -10005, message = \"file not found\"",
                     "Files: error = -10005, message = \"file not found\", note = \"second try\"",
                     "Test: " + std::string(1023, 'p'),
                     "Test: error = 0, message = \"" + std::string(ansi) + "\"",
                     ": empty process component", "no component", ":  - enter", ":  - return",
                     std::string(63, 'c') + ": long", "Test: " + x.substr(0, 1023),
                     "Test:   " + x.substr(0, 1021), "Test:   " + x.substr(0, 1021),
                     "Test: S - return"}));
    capture_.Clear();
    UTrace::setFlags(7); // with the timestamp
    UTrace::trace1("%s", x.c_str());
    EXPECT_THAT(capture_.Lines(), ElementsAre(SizeIs(6u + 1023u))) << "the stamp counts in 1023";
    // Scope lines ignore the level and indent by depth; the silent marker is compared by pointer.
    Restart();
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
    UTrace::setFlags(UTrace::FlagDebugger | UTrace::FlagAllLevels);
    UTrace::Function("Quiet", UTrace::silent), UTrace::trace1("inside"); // one step deeper
    UTrace::Function loud("Loud", "silent");
    UTrace::trace1("silent");
    const auto trace1 = &UTrace::trace1; // through a pointer: no format check
    trace1(UTrace::silent);
    trace1(nullptr); // an empty message
    UTrace::Function later("Later");
    later.setResult(1, UTrace::silent);
    later.setResult(2, "two");
    loud.setResult(7, UTrace::silent);
    EXPECT_EQ(capture_.Lines(),
              (Lines{"Test: Open - enter", "Test:   inside 1", "Disk:   Read - 12 bytes",
                     "Test:     deeper", "Disk:   Read - failed with E", "Test: Open - return = 5",
                     "Test:   inside", "Test: Quiet - return", "Test: Loud - silent",
                     "Test:   silent", "Test:   ", "Test:   Later - enter"}));
}

// traceview.exe (strict on the layout) gets every field; a late or replacing viewer the next.
TEST_F(Trace, ViewerGetsEveryFieldAndALateOrReplacedViewerTheNextLines) {
    StartViewer(L"--count 9 -o \"" + output_ + L"\"");
    Restart();
    UTrace::trace3Value(-7, "value %d", 1);
    UTrace::trace1("plain");
    UTrace::trace3ValueComponent("Values", 0, "zero is a value too");
    UTrace::traceComponent(nullptr, 2, "no component");
    UTrace::setComponent(std::string(70, 'k').c_str());
    UTrace::trace(4, "%s", "");
    UTrace::FunctionComponent("Scope", "Open", nullptr), UTrace::trace3Component("Scope", "in");
    UTrace::trace1Component("Long", "%s", std::string(5000, 'y').c_str()); // the largest record
    EXPECT_EQ(viewer_.Wait(20000), 0) << "--count ends the viewer";
    UTrace::setComponent("Test");
    UTrace::trace1("after the viewer has gone"); // looks again at once, and finds none
    EXPECT_EQ(
        ReadLines(output_),
        (Lines{"[3] Test (value -7): value 1", "[1] Test: plain",
               "[3] Values (value 0): zero is a value too", "[2] no component",
               "[4] " + std::string(63, 'k') + ": ", "[4] Scope: Open - enter", "[3] Scope:   in",
               "[4] Scope: Open - return", "[1] Long: " + std::string(1023, 'y')}));
    StartViewer(L"--count 1 -o \"" + output_ + L"\"");
    const DWORD started = ::GetTickCount();
    for (int i = 0; ::IsWindow(window_) && ::GetTickCount() - started < 8000; ::Sleep(50)) {
        UTrace::trace1("line %d", i++);
    }
    EXPECT_LE(::GetTickCount() - started, 3500u) << "the lookup interval is 3 s";
    EXPECT_EQ(viewer_.Wait(20000), 0);
    EXPECT_THAT(ReadLines(output_), ElementsAre(::testing::StartsWith("[1] Test: line ")));
    // The filter sees the bare message; keeps a line from the viewer by its answer or raising.
    StartViewer(L"-o \"" + output_ + L"\"");
    capture_.Clear();
    static Lines filtered;
    UTrace::setFilter([](std::uint32_t level, const char* component, const char* message) {
        filtered.push_back(std::to_string(level) + "|" + component + "|" + message);
        if (std::string(message) == "raise") {
            UTrace::trace1("from the filter");
            throw 1;
        }
        return std::string(message) != "drop";
    });
    UTrace::setFlags(7);
    UTrace::Function("Work", "%s", "begin"), UTrace::trace1("keep"),
        UTrace::trace2Component("Other", "drop"), UTrace::trace3Value(3, "raise");
    EXPECT_EQ(Run(L"traceview.exe", L"--stop"), 0);
    EXPECT_EQ(viewer_.Wait(20000), 0) << "--stop ends the running viewer";
    EXPECT_EQ(filtered, (Lines{"4|Test|Work - begin", "1|Test|keep", "2|Other|drop", "3|Test|raise",
                               "4|Test|Work - return"}));
    const char* stamp = R"(\[\d\] Test: \d+:\d?\d:\d?\d\.\d\d\d : )"; // h:m:s.ms
    EXPECT_THAT(ReadLines(output_),
                ElementsAre(MatchesRegex(stamp + std::string("Work - begin")),
                            MatchesRegex(stamp + std::string("  keep")),
                            MatchesRegex(stamp + std::string("Work - return"))));
    EXPECT_EQ(capture_.Lines().size(), 5u) << "the debugger gets every line but the filter's";
}

// Writers at depths of their own compete for the lock; the debugger's calls must not interleave.
TEST_F(Trace, EightThreadsNeitherInterleaveNorLoseLines) {
    constexpr int Threads = 8, PerThread = 2000; // not more: each debugger call raises
    StartViewer(L"--count 16000 -o \"" + output_ + L"\"");
    Restart();
    std::atomic<int> waiting{Threads};
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t) {
        writers.emplace_back([t, &waiting] {
            std::deque<UTrace::Function> scopes;
            while (scopes.size() < static_cast<std::size_t>(t)) {
                scopes.emplace_back("scope", UTrace::silent).setResult(0, UTrace::silent);
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
    for (Lines texts : {ReadLines(output_), capture_.Lines()}) {
        ASSERT_EQ(texts.size(), std::size_t{Threads * PerThread});
        std::vector<int> next(Threads, 0);
        for (std::string& text : texts) {
            text.erase(0, text.find(": ") + 2);
            const std::size_t t = text.find_first_not_of(' ') / 2; // the writer, by its depth
            ASSERT_LT(t, next.size()) << text;
            ASSERT_EQ(text, std::string(2 * t, ' ') + "thread " + std::to_string(t) + " line " +
                                std::to_string(next[t]++));
        }
    }
}

} // namespace

// What reaches a trace viewer: the record's every field, offset and size; the filter; a viewer
// that comes late or is replaced; eight threads at once on the viewer and the debugger; and the
// traceview program end to end with a traced program in another process. How a line is cut and
// stamped is TraceTest's: the viewer gets the line the debugger gets.
#include "support/Trace.h"

#include "TraceTestSupport.h"
#include "TraceViewSupport.h"
#include "common/TestFolder.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using TraceTestSupport::InProcessViewer;
using TraceTestSupport::Received;
using namespace TraceViewSupport;
namespace Layout = UTrace::ViewerRecord;

// Each test starts its own tracing with the viewer it needs already present (or absent).
class TraceViewer : public ::testing::Test {
protected:
    void SetUp() override {
        UTrace::shutdown();
        // The lookup finds any window of the class on the desktop, not only ours.
        ASSERT_EQ(::FindWindowW(UTrace::ViewerWindowClass, nullptr), nullptr)
            << "another trace viewer is running";
    }
    void TearDown() override { UTrace::shutdown(); }

    static void Start(std::uint32_t flags = UTrace::FlagAllLevels) {
        ASSERT_TRUE(UTrace::init());
        UTrace::setFlags(flags);
        UTrace::setComponent("Viewer");
    }
};

// Checks every field of one record against what was traced.
void ExpectRecord(const Received& record, std::uint32_t level, std::uint32_t value, bool hasValue,
                  const std::string& component, const std::string& text) {
    const std::size_t size = 82 + text.size();
    EXPECT_EQ(record.dwData, 0x55543132u);
    ASSERT_EQ(record.bytes.size(), size) << "only the bytes up to the text's NUL are sent";
    EXPECT_EQ(record.U32(0), size);
    EXPECT_EQ(record.U32(4), 0x55543132u);
    EXPECT_EQ(record.U32(8), level);
    EXPECT_EQ(record.U32(12), value);
    EXPECT_EQ(record.bytes[16], hasValue ? 1 : 0);
    const std::string padded(reinterpret_cast<const char*>(record.bytes.data()) + 17, 64);
    std::string expected = component.substr(0, 63);
    expected.resize(64, '\0');
    EXPECT_EQ(padded, expected) << "component NUL-terminated and zero-padded to 64 bytes";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.bytes.data()) + 81, text.size()),
              text);
    EXPECT_EQ(record.bytes.back(), 0);
}

TEST_F(TraceViewer, RecordFieldsOffsetsAndSizes) {
    InProcessViewer viewer;
    ASSERT_NE(viewer.Window(), nullptr) << "needs the null graphics driver under Wine";
    Start();
    UTrace::trace3Value(-7, "value %d", 1);
    UTrace::trace1("plain");
    UTrace::trace3ValueComponent("Values", 0, "zero is a value too");
    UTrace::traceComponent(nullptr, 2, "no component");
    UTrace::setComponent(std::string(70, 'k').c_str());
    UTrace::trace(4, "%s", "");
    {
        UTrace::FunctionComponent scope("Scope", "Open", nullptr);
        UTrace::trace2Component("Scope", "inner");
    }
    UTrace::trace1Component("Long", "%s", std::string(5000, 'y').c_str());
    const std::vector<Received> records = viewer.Records();
    ASSERT_EQ(records.size(), 9u);
    ExpectRecord(records[0], 3, 0xFFFFFFF9u, true, "Viewer", "value 1");
    ExpectRecord(records[1], 1, 0, false, "Viewer", "plain");
    ExpectRecord(records[2], 3, 0, true, "Values", "zero is a value too");
    ExpectRecord(records[3], 2, 0, false, "", "no component");
    ExpectRecord(records[4], 4, 0, false, std::string(63, 'k'), "");
    ExpectRecord(records[5], 4, 0, false, "Scope", "Open - enter");
    ExpectRecord(records[6], 2, 0, false, "Scope", "  inner");
    ExpectRecord(records[7], 4, 0, false, "Scope", "Open - return");
    ExpectRecord(records[8], 1, 0, false, "Long", std::string(1023, 'y')); // the largest record
}

std::vector<std::string> filtered;

bool DropMarked(std::uint32_t level, const char* component, const char* message) {
    filtered.push_back(std::to_string(level) + "|" + component + "|" + message);
    return std::string(message).compare(0, 4, "drop") != 0;
}

TEST_F(TraceViewer, FilterSeesUnindentedMessageAndCanSuppress) {
    TraceTestSupport::DebuggerCapture capture;
    InProcessViewer viewer;
    Start(UTrace::FlagAllLevels | UTrace::FlagDebugger | UTrace::FlagTimestamp);
    filtered.clear();
    UTrace::setFilter(&DropMarked);
    {
        UTrace::Function scope("Work", "%s", "begin");
        UTrace::trace1("keep %d", 1);
        UTrace::trace2Component("Other", "drop %d", 2);
        UTrace::trace3Value(3, "keep %d", 3);
    }
    const Lines expectedFiltered = {"4|Viewer|Work - begin", "1|Viewer|keep 1", "2|Other|drop 2",
                                    "3|Viewer|keep 3", "4|Viewer|Work - return"};
    EXPECT_EQ(filtered, expectedFiltered);
    Lines texts;
    for (const std::string& text : viewer.Texts()) {
        texts.push_back(text.substr(text.find(" : ") + 3)); // without the timestamp
    }
    EXPECT_EQ(texts, (Lines{"Work - begin", "  keep 1", "  keep 3", "Work - return"}));
    EXPECT_EQ(capture.Lines().size(), 5u) << "the debugger gets the suppressed line too";
}

TEST_F(TraceViewer, ViewerStartedLaterReceivesWithinTheLookupInterval) {
    Start();
    UTrace::trace1("before any viewer");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    InProcessViewer viewer;
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + std::chrono::seconds(8);
    int written = 0;
    while (viewer.Records().empty() && std::chrono::steady_clock::now() < deadline) {
        UTrace::trace1("line %d", written++);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    ASSERT_FALSE(viewer.Records().empty()) << "no line arrived within 8 s";
    EXPECT_LE(waited.count(), 3500);
    EXPECT_NE(viewer.Texts().front(), "before any viewer");
}

TEST_F(TraceViewer, ReplacedViewerGetsTheNextLine) {
    auto first = std::make_unique<InProcessViewer>();
    Start();
    UTrace::trace1("to the first");
    first->Close();
    InProcessViewer second;
    UTrace::trace1("to the second");
    UTrace::trace1("again");
    EXPECT_EQ(first->Texts(), (Lines{"to the first"}));
    EXPECT_EQ(second.Texts(), (Lines{"to the second", "again"}));
}

// Runs threads writers at once; writer t works at depth t, so a line's indentation tells whose
// depth it used. Returns after every writer has ended.
void WriteFromThreads(int threads, int perThread) {
    std::vector<std::thread> writers;
    std::atomic<int> waiting{threads};
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t, perThread, &waiting] {
            std::vector<std::unique_ptr<UTrace::Function>> scopes;
            for (int d = 0; d < t; ++d) {
                scopes.push_back(std::make_unique<UTrace::Function>("scope", UTrace::silent));
            }
            // All writers start together, so that their lines compete for the lock.
            --waiting;
            while (waiting > 0) {
                std::this_thread::yield();
            }
            for (int i = 0; i < perThread; ++i) {
                UTrace::trace3Value(i, "thread %d line %d", t, i);
            }
            for (auto& scope : scopes) {
                scope->setResult(0, UTrace::silent);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
}

// Checks that texts hold every line of every writer, each whole, in the writer's order, at the
// writer's own depth.
void ExpectAllLinesOnce(const Lines& texts, int threads, int perThread) {
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(threads * perThread));
    std::vector<int> next(static_cast<std::size_t>(threads), 0);
    for (const std::string& text : texts) {
        const std::size_t indent = text.find_first_not_of(' ');
        int t = -1;
        int i = -1;
        char rest = 0;
        ASSERT_EQ(std::sscanf(text.c_str() + indent, "thread %d line %d%c", &t, &i, &rest), 2)
            << text;
        ASSERT_TRUE(t >= 0 && t < threads) << text;
        ASSERT_EQ(indent, static_cast<std::size_t>(2 * t)) << text;
        ASSERT_EQ(i, next[static_cast<std::size_t>(t)]) << "thread " << t << " lost a line";
        ++next[static_cast<std::size_t>(t)];
    }
}

TEST_F(TraceViewer, EightThreadsNeitherInterleaveNorLoseLines) {
    // Not more lines: each OutputDebugStringA raises an exception.
    constexpr int Threads = 8;
    constexpr int PerThread = 2000;
    TraceTestSupport::DebuggerCapture capture;
    InProcessViewer viewer;
    Start(UTrace::FlagDebugger | UTrace::FlagAllLevels);
    WriteFromThreads(Threads, PerThread);
    UTrace::shutdown();
    Lines texts;
    for (const Received& record : viewer.Records()) {
        texts.push_back(record.Text());
        const std::string text = texts.back();
        ASSERT_EQ(record.U32(12),
                  static_cast<std::uint32_t>(std::stoi(text.substr(text.rfind(' ') + 1))));
    }
    ExpectAllLinesOnce(texts, Threads, PerThread);
    texts.clear();
    for (const std::string& line : capture.Lines()) { // fails on a broken triple of calls
        texts.push_back(line.substr(std::string("Viewer: ").size()));
    }
    ExpectAllLinesOnce(texts, Threads, PerThread);
}

// --- traceview as a separate process ----------------------------------------------------------

class TraceViewProcess : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ProgramsBuilt()) {
            GTEST_SKIP() << "traceview.exe and trace_sample.exe are not built";
        }
        ASSERT_EQ(WaitForViewerWindow(0), nullptr) << "another trace viewer is running";
        output_ = folder_.Child(L"trace.txt");
        // The timeout is only a safety net: the test tells the viewer to end.
        ASSERT_TRUE(
            viewer_.Start(Program(L"traceview.exe"), L"-o \"" + output_ + L"\" --timeout 60000"));
        window_ = WaitForViewerWindow(20000);
        ASSERT_NE(window_, nullptr) << "traceview showed no window";
    }
    void TearDown() override {
        if (window_ != nullptr && ::IsWindow(window_)) {
            ::PostMessageW(window_, WM_CLOSE, 0, 0);
        }
        viewer_.Wait(20000);
    }
    // Tells the viewer to end and returns its exit code.
    long StopViewer() {
        ::PostMessageW(window_, WM_CLOSE, 0, 0);
        window_ = nullptr;
        return viewer_.Wait(20000);
    }

    TalvenTest::TestFolder folder_;
    std::wstring output_;
    ChildProcess viewer_;
    HWND window_ = nullptr;
};

TEST_F(TraceViewProcess, PrintsTheLinesOfATracedProgramInOrder) {
    ChildProcess sample;
    ASSERT_TRUE(sample.Start(Program(L"trace_sample.exe"), L"--lines 50 --component Sample"));
    ASSERT_EQ(sample.Wait(30000), 0);
    ChildProcess stopper;
    ASSERT_TRUE(stopper.Start(Program(L"traceview.exe"), L"--stop"));
    EXPECT_EQ(stopper.Wait(20000), 0);
    ASSERT_EQ(viewer_.Wait(20000), 0) << "--stop ends the running viewer";
    window_ = nullptr;

    EXPECT_EQ(ReadLines(output_), SampleLines("Sample", 50));
}

TEST_F(TraceViewProcess, RejectsMalformedRecords) {
    unsigned char record[Layout::MaxSize + 8] = {};
    auto put = [&](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            record[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
        }
    };
    // A valid record built by hand: level 2, component "Hand", text "ok".
    put(0, 84);
    put(4, Layout::Magic);
    put(8, 2);
    std::memcpy(record + 17, "Hand", 4);
    std::memcpy(record + 81, "ok", 3);
    auto send = [&](ULONG_PTR dwData, DWORD size) {
        COPYDATASTRUCT data = {dwData, size, record};
        return ::SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    };
    EXPECT_EQ(send(Layout::Magic, 84), TRUE);
    EXPECT_EQ(send(0x12345678, 84), FALSE) << "wrong dwData";
    EXPECT_EQ(send(Layout::Magic, 83), FALSE) << "size field and bytes differ";
    EXPECT_EQ(send(Layout::Magic, 81), FALSE) << "shorter than any record";
    put(0, Layout::MaxSize + 1);
    EXPECT_EQ(send(Layout::Magic, Layout::MaxSize + 1), FALSE) << "longer than any record";
    put(0, 84);
    put(4, 0x55543133);
    EXPECT_EQ(send(Layout::Magic, 84), FALSE) << "wrong magic";
    put(4, Layout::Magic);
    record[83] = 'x';
    EXPECT_EQ(send(Layout::Magic, 84), FALSE) << "text without its NUL";
    record[83] = 0;
    std::memset(record + 17, 'c', 64);
    EXPECT_EQ(send(Layout::Magic, 84), FALSE) << "component without its NUL";
    std::memset(record + 17, 0, 64);
    record[16] = 1;
    put(12, 5);
    EXPECT_EQ(send(Layout::Magic, 84), TRUE);
    ASSERT_EQ(StopViewer(), 0);
    EXPECT_EQ(ReadLines(output_), (Lines{"[2] Hand: ok", "[2] (value 5): ok"}));
}

TEST_F(TraceViewProcess, EndsByItselfAfterTheCountOrTheTimeout) {
    ASSERT_EQ(StopViewer(), 0);
    const std::wstring counted = folder_.Child(L"counted.txt");
    ASSERT_TRUE(viewer_.Start(Program(L"traceview.exe"),
                              L"--count 2 --timeout 60000 -o \"" + counted + L"\""));
    ASSERT_NE(WaitForViewerWindow(20000), nullptr);
    ChildProcess sample;
    ASSERT_TRUE(sample.Start(Program(L"trace_sample.exe"), L"--lines 3"));
    EXPECT_EQ(sample.Wait(30000), 0);
    EXPECT_EQ(viewer_.Wait(20000), 0);
    EXPECT_EQ(ReadLines(counted),
              (Lines{"[4] TraceSample: run - 3 lines", "[2] TraceSample:   line 0"}));

    ASSERT_TRUE(viewer_.Start(Program(L"traceview.exe"), L"--timeout 300 -o NUL"));
    EXPECT_EQ(viewer_.Wait(20000), 0);
}

} // namespace

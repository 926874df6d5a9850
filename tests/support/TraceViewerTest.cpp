// The trace facility as the debugger and a viewer window see it: silence outside init, levels
// and flags, scope lines and their depth, the silent marker, exceptions, the component, cuts,
// timestamps, the filter, every field of a viewer record, a viewer that comes late or is
// replaced, eight threads at once; and traceview.exe end to end with a traced program.
#include "support/Trace.h"

#include "TraceTestSupport.h"
#include "support/TalvenException.h"
#include "support/TalvenText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <stdexcept>
#include <thread>

namespace {

using namespace TraceTestSupport;
using Bytes = std::vector<unsigned char>;

void Put(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// The viewer record of a line, at the offsets that viewers of every version rely on.
Bytes Record(std::uint32_t level, std::uint32_t value, bool hasValue, const std::string& component,
             const std::string& text) {
    Bytes record(82 + text.size(), 0);
    Put(record, 0, static_cast<std::uint32_t>(record.size()));
    Put(record, 4, 0x55543132);
    Put(record, 8, level);
    Put(record, 12, value);
    record[16] = hasValue ? 1 : 0;
    std::copy(component.begin(), component.end(), record.begin() + 17);
    std::copy(text.begin(), text.end(), record.begin() + 81);
    return record;
}

// A viewer window of the test's thread: a line of this thread reaches it at once through
// SendMessageW, lines of other threads while this thread takes its messages.
struct Viewer {
    Viewer() {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &Proc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = UTrace::ViewerWindowClass;
        ::RegisterClassExW(&windowClass); // stays registered: the next viewer reuses it
        window = ::CreateWindowExW(0, UTrace::ViewerWindowClass, L"", WS_OVERLAPPED, 0, 0, 10, 10,
                                   nullptr, nullptr, windowClass.hInstance, nullptr);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~Viewer() { ::DestroyWindow(window); }
    // The texts of the records, without the timestamp when withoutStamp.
    Lines Texts(bool withoutStamp = false) const {
        Lines texts;
        for (const Bytes& record : records) {
            std::string text(std::string(record.begin() + 81, record.end()).c_str());
            texts.push_back(withoutStamp ? text.substr(text.find(" : ") + 3) : text);
        }
        return texts;
    }
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Viewer*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message != WM_COPYDATA || self == nullptr) {
            return ::DefWindowProcW(window, message, wParam, lParam);
        }
        const auto& data = *reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        const auto* first = static_cast<const unsigned char*>(data.lpData);
        // Under another dwData the record is kept as 82 zeros, to match no expected record.
        self->records.push_back(data.dwData == 0x55543132 ? Bytes(first, first + data.cbData)
                                                          : Bytes(82, 0));
        return TRUE;
    }

    HWND window;
    std::vector<Bytes> records;
};

class Trace : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(FindViewer(0), nullptr) << "another trace viewer is running";
        Restart();
    }
    void TearDown() override { UTrace::shutdown(); }
    // Starts tracing again, which looks for a viewer at once.
    void Restart() {
        UTrace::shutdown();
        ASSERT_TRUE(UTrace::init());
        UTrace::setComponent("Test");
        capture_.Clear();
    }

    DebuggerCapture capture_;
};

TEST_F(Trace, NothingReachesTheDebuggerOutsideInitAndShutdownAndInitResets) {
    UTrace::shutdown();
    UTrace::trace1("level one");
    UTrace::traceException(TalvenException(TalvenText("boom")), "prefix");
    UTrace::Function("Open").setResult(1, nullptr);
    EXPECT_TRUE(capture_.Lines().empty());
    ASSERT_TRUE(UTrace::init());
    EXPECT_FALSE(UTrace::init()) << "a second init must report that nothing was done";
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
    UTrace::shutdown();
    UTrace::trace1("after shutdown");
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
}

TEST_F(Trace, LinesAsTheDebuggerGetsThem) {
    const std::string x(1023, 'x');
    const struct {
        const char* what;
        void (*body)();
        Lines expected;
    } rows[] = {
        {"scope lines ignore the level and indent by depth",
         [] {
             UTrace::setFlags(1); // level 0: the level-4 scope lines are written all the same
             {
                 UTrace::Function open("Open");
                 UTrace::trace(0, "inside %d", 1);
                 {
                     UTrace::FunctionComponent read("Disk", "Read", "%d bytes at %s", 12, "0x10");
                     UTrace::trace(0, "deeper");
                     EXPECT_EQ(read.setResult(-3, "failed with %s", "E"), -3);
                 }
                 EXPECT_EQ(open.setResult(5, nullptr), 5);
                 EXPECT_EQ(open.result(), 5);
             }
             UTrace::trace(0, "after");
         },
         {"Test: Open - enter", "Test:   inside 1", "Disk:   Read - 12 bytes at 0x10",
          "Test:     deeper", "Disk:   Read - failed with E", "Test: Open - return = 5",
          "Test: after"}},
        {"the silent marker is compared by pointer",
         [] {
             {
                 UTrace::Function quiet("Quiet", UTrace::silent); // no entry line, one step deeper
                 UTrace::trace1("inside quiet");
             }
             UTrace::Function loud("Loud", "silent"); // the same letters elsewhere are plain text
             UTrace::trace1("silent");
             const auto trace1 = &UTrace::trace1; // through a pointer: no format check
             trace1(UTrace::silent);
             trace1(nullptr); // an empty message
             UTrace::Function later("Later");
             later.setResult(1, UTrace::silent);
             later.setResult(2, "two"); // once silent, the exit line stays suppressed
             loud.setResult(7, UTrace::silent);
         },
         {"Test:   inside quiet", "Test: Quiet - return", "Test: Loud - silent", "Test:   silent",
          "Test:   ", "Test:   Later - enter"}},
        {"exception lines",
         [] {
             FileException notFound(FileException::FileNotFound, TextConvert::Bytes("C:\\a.txt"));
             UTrace::traceException(notFound, "Copy");
             notFound.setNote("second try");
             UTrace::traceExceptionComponent("Files", notFound, "");
             UTrace::traceException(notFound, std::string(1100, 'p').c_str());
             // A message with printf directives is text, not a format.
             UTrace::traceException(TalvenException(TalvenText("100%s %d")), "P%s");
             UTrace::setFlags(1); // level 1 is above level 0: no line
             UTrace::traceException(notFound, "hidden");
         },
         {"Test: Copy: error = -10005, message = \"file not found\"",
          "Files: error = -10005, message = \"file not found\", note = \"second try\"",
          "Test: " + std::string(1023, 'p'), "Test: P%s: error = 0, message = \"100%s %d\""}},
        {"the component prefixes the line, cut to 63 characters",
         [] {
             UTrace::setComponent(nullptr);
             UTrace::trace1("empty process component");
             UTrace::traceComponent(nullptr, 1, "no component");
             UTrace::FunctionComponent(nullptr, nullptr);
             UTrace::setComponent(std::string(80, 'c').c_str());
             UTrace::trace1("long");
         },
         {": empty process component", "no component", ":  - enter", ":  - return",
          std::string(63, 'c') + ": long"}},
        {"long lines are cut to 1023 characters, indentation and name included",
         [] {
             const std::string longText(2000, 'x');
             UTrace::trace1("%s", longText.c_str());
             UTrace::Function scope("S", UTrace::silent);
             UTrace::trace1("%s", longText.c_str());
             scope.setResult(0, "%s", longText.c_str());
             UTrace::Function(std::string(1100, 'x').c_str(), UTrace::silent);
         },
         {"Test: " + x, "Test:   " + x.substr(2), "Test:   " + x.substr(2),
          "Test: S - " + x.substr(4)}},
        {"a disabled level formats nothing",
         [] {
             UTrace::setFlags(1);
             UTrace::setLevel(1);
             // A bad pointer behind %s would crash if the line were formatted.
             UTrace::trace2("%s", reinterpret_cast<const char*>(std::uintptr_t{0x10}));
         },
         {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        UTrace::setFlags(3);
        UTrace::setLevel(0);
        UTrace::setComponent("Test");
        capture_.Clear();
        row.body();
        EXPECT_EQ(capture_.Lines(), row.expected);
    }
}

TEST_F(Trace, ExceptionMessageIsInTheAnsiCodePage) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "needs ANSI code page 1252";
    }
    UTrace::traceException(TalvenException(TalvenText("caf\xC3\xA9")));
    EXPECT_EQ(capture_.Lines(), (Lines{"Test: error = 0, message = \"caf\xE9\""}));
}

TEST_F(Trace, TimestampIsThePerformanceCounterAndCountsAgainstTheLength) {
    UTrace::setFlags(UTrace::FlagDebugger | UTrace::FlagAllLevels | UTrace::FlagTimestamp);
    LARGE_INTEGER frequency, before, after;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&before);
    UTrace::Function("F", UTrace::silent), UTrace::trace1("stamped"); // one step deeper
    ::QueryPerformanceCounter(&after);
    UTrace::trace1("%s", std::string(2000, 'x').c_str());
    const Lines lines = capture_.Lines();
    ASSERT_EQ(lines.size(), 3u); // and the scope's exit line
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex(R"(Test: \d+:[1-5]?\d:[1-5]?\d\.\d{3} :   stamped)")))
        << lines[0];
    unsigned h = 0, m = 0, s = 0, ms = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "Test: %u:%u:%u.%u", &h, &m, &s, &ms), 4);
    const double stamp = h * 3600.0 + m * 60.0 + s + ms / 1000.0;
    EXPECT_GE(stamp, static_cast<double>(before.QuadPart) / frequency.QuadPart - 0.002);
    EXPECT_LE(stamp, static_cast<double>(after.QuadPart) / frequency.QuadPart + 0.002);
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(Test: [0-9:.]+ : x+)")));
    EXPECT_EQ(lines[2].size(), 6u + 1023u) << "the stamp counts against the 1023 characters";
}

TEST_F(Trace, ViewerGetsEveryFieldOfTheRecord) {
    const Viewer viewer;
    ASSERT_NE(viewer.window, nullptr) << "needs the null graphics driver under Wine";
    Restart();
    UTrace::trace3Value(-7, "value %d", 1);
    UTrace::trace1("plain");
    UTrace::trace3ValueComponent("Values", 0, "zero is a value too");
    UTrace::traceComponent(nullptr, 2, "no component");
    UTrace::setComponent(std::string(70, 'k').c_str());
    UTrace::trace(4, "%s", "");
    UTrace::FunctionComponent("Scope", "Open", nullptr), UTrace::trace3Component("Scope", "in");
    UTrace::trace1Component("Long", "%s", std::string(5000, 'y').c_str()); // the largest record
    EXPECT_EQ(
        viewer.records,
        (std::vector<Bytes>{
            Record(3, 0xFFFFFFF9u, true, "Test", "value 1"), Record(1, 0, false, "Test", "plain"),
            Record(3, 0, true, "Values", "zero is a value too"),
            Record(2, 0, false, "", "no component"), Record(4, 0, false, std::string(63, 'k'), ""),
            Record(4, 0, false, "Scope", "Open - enter"), Record(3, 0, false, "Scope", "  in"),
            Record(4, 0, false, "Scope", "Open - return"),
            Record(1, 0, false, "Long", std::string(1023, 'y'))}));
}

// The filter sees the message without indentation and timestamp; it can keep a line from the
// viewer by its answer or by raising, and a line it traces itself is dropped.
TEST_F(Trace, FilterDecidesWhatTheViewerGets) {
    const Viewer viewer;
    Restart();
    UTrace::setFlags(UTrace::FlagAllLevels | UTrace::FlagDebugger | UTrace::FlagTimestamp);
    static Lines filtered;
    UTrace::setFilter([](std::uint32_t level, const char* component, const char* message) {
        filtered.push_back(std::to_string(level) + "|" + component + "|" + message);
        if (std::strcmp(message, "raise") == 0) {
            UTrace::trace1("from the filter");
            throw std::runtime_error("filter failed");
        }
        return std::strcmp(message, "drop") != 0;
    });
    {
        UTrace::Function scope("Work", "%s", "begin");
        UTrace::trace1("keep %d", 1);
        UTrace::trace2Component("Other", "drop");
        UTrace::trace3Value(3, "raise");
    }
    EXPECT_EQ(filtered, (Lines{"4|Test|Work - begin", "1|Test|keep 1", "2|Other|drop",
                               "3|Test|raise", "4|Test|Work - return"}));
    EXPECT_EQ(viewer.Texts(true), (Lines{"Work - begin", "  keep 1", "Work - return"}));
    EXPECT_EQ(capture_.Lines().size(), 5u) << "the debugger gets every line but the filter's";
}

TEST_F(Trace, ViewerThatComesLateOrIsReplacedGetsTheNextLines) {
    UTrace::trace1("before any viewer");
    auto first = std::make_unique<Viewer>();
    const DWORD started = ::GetTickCount();
    for (int i = 0; first->records.empty() && ::GetTickCount() - started < 8000; ++i) {
        UTrace::trace1("line %d", i);
        ::Sleep(50);
    }
    EXPECT_LE(::GetTickCount() - started, 3500u) << "the lookup interval is 3 s";
    ASSERT_EQ(first->records.size(), 1u);
    EXPECT_NE(first->Texts()[0], "before any viewer");
    first.reset();
    const Viewer second;
    UTrace::trace1("to the second");
    EXPECT_EQ(second.Texts(), Lines{"to the second"});
}

// Each writer works at a depth of its own and all start together, so that their lines compete
// for the lock; each writer's lines must arrive whole, in order and at its depth.
TEST_F(Trace, EightThreadsNeitherInterleaveNorLoseLines) {
    constexpr int Threads = 8;
    constexpr int PerThread = 2000; // not more: each OutputDebugStringA raises an exception
    const Viewer viewer;
    Restart();
    std::atomic<int> waiting{Threads};
    std::atomic<int> running{Threads};
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t) {
        writers.emplace_back([t, &waiting, &running] {
            std::vector<std::unique_ptr<UTrace::Function>> scopes;
            for (int d = 0; d < t; ++d) {
                scopes.push_back(std::make_unique<UTrace::Function>("scope", UTrace::silent));
                scopes.back()->setResult(0, UTrace::silent);
            }
            for (--waiting; waiting > 0;) {
                std::this_thread::yield();
            }
            for (int i = 0; i < PerThread; ++i) {
                UTrace::trace3Value(i, "thread %d line %d", t, i);
            }
            --running;
        });
    }
    for (MSG message; running > 0; ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    const auto expectAllOnce = [](const Lines& texts) {
        ASSERT_EQ(texts.size(), std::size_t{Threads * PerThread});
        std::vector<int> next(Threads, 0);
        for (const std::string& text : texts) {
            int t = -1;
            ASSERT_TRUE(std::sscanf(text.c_str(), " thread %d", &t) == 1 && t >= 0 && t < Threads)
                << text;
            ASSERT_EQ(text, std::string(2 * t, ' ') + "thread " + std::to_string(t) + " line " +
                                std::to_string(next[t]++));
        }
    };
    const Lines texts = viewer.Texts();
    expectAllOnce(texts);
    for (std::size_t r = 0; r < texts.size(); ++r) {
        const auto value = std::stoul(texts[r].substr(texts[r].rfind(' ') + 1));
        ASSERT_EQ(viewer.records[r], Record(3, value, true, "Test", texts[r]));
    }
    Lines lines = capture_.Lines(); // fails on a broken triple of calls
    for (std::string& line : lines) {
        line.erase(0, std::strlen("Test: "));
    }
    expectAllOnce(lines);
}

using TraceViewProcess = ViewerProcessTest;

TEST_F(TraceViewProcess, PrintsTheLinesOfATracedProgramInOrderUntilStopped) {
    StartViewer(L"-o \"" + output_ + L"\" --timeout 60000");
    ASSERT_EQ(RunSample("Sample", 50), 0);
    EXPECT_EQ(Run(L"traceview.exe", L"--stop"), 0);
    ASSERT_EQ(viewer_.Wait(20000), 0) << "--stop ends the running viewer";
    EXPECT_EQ(ReadLines(output_), SampleLines("Sample", 50));
}

TEST_F(TraceViewProcess, RejectsMalformedRecords) {
    StartViewer(L"-o \"" + output_ + L"\" --timeout 60000");
    auto send = [this](Bytes record, ULONG_PTR dwData = UTrace::ViewerRecord::Magic) {
        COPYDATASTRUCT data = {dwData, static_cast<DWORD>(record.size()), record.data()};
        return ::SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    };
    const Bytes valid = Record(2, 0, false, "Hand", "ok");
    EXPECT_EQ(send(valid), TRUE);
    EXPECT_EQ(send(valid, 0x12345678), FALSE) << "wrong dwData";
    const std::uint32_t tooLong = UTrace::ViewerRecord::MaxSize + 1;
    const struct {
        const char* what;
        std::uint32_t bytes, sizeField; // sent, and claimed
        std::size_t at, count;          // then count bytes from at are set to byte
        unsigned char byte;
    } rows[] = {{"size field and bytes differ", 83, 84, 0, 0, 0},
                {"shorter than any record", 81, 81, 0, 0, 0},
                {"longer than any record", tooLong, tooLong, 0, 0, 0},
                {"wrong magic", 84, 84, 4, 1, 0x33},
                {"hasValue neither 0 nor 1", 84, 84, 16, 1, 2},
                {"text without its NUL", 84, 84, 83, 1, 'x'},
                {"component without its NUL", 84, 84, 17, 64, 'c'}};
    for (const auto& row : rows) {
        Bytes record = valid;
        record.resize(row.bytes, 0);
        Put(record, 0, row.sizeField);
        std::fill_n(record.begin() + static_cast<std::ptrdiff_t>(row.at), row.count, row.byte);
        EXPECT_EQ(send(record), FALSE) << row.what;
    }
    EXPECT_EQ(send(Record(2, 5, true, "", "ok")), TRUE);
    ASSERT_EQ(StopViewer(), 0);
    EXPECT_EQ(ReadLines(output_), (Lines{"[2] Hand: ok", "[2] (value 5): ok"}));
}

TEST_F(TraceViewProcess, EndsByItselfAfterTheCountOrTheTimeout) {
    StartViewer(L"--count 2 --timeout 60000 -o \"" + output_ + L"\"");
    EXPECT_EQ(RunSample("Counted", 3), 0);
    EXPECT_EQ(viewer_.Wait(20000), 0);
    EXPECT_EQ(ReadLines(output_), (Lines{"[4] Counted: run - 3 lines", "[2] Counted:   line 0"}));
    ASSERT_TRUE(viewer_.Start(L"traceview.exe", L"--timeout 300 -o NUL"));
    EXPECT_EQ(viewer_.Wait(20000), 0);
}

} // namespace

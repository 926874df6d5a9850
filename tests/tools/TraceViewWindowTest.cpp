// The trace viewer's window, driven as a user or a script drives it: lines of two traced
// programs at once, the filter, pause, following the newest line, copy, always on top, clear,
// refused records, the bound on lines held, and when the window is chosen over the console. Runs
// in a Wine prefix with the X11 driver on a virtual display (tests/tools/traceview-window.sh),
// where the window is really drawn; the list is read back through the viewer's save command.
#include "tools/traceview/Record.h"
#include "tools/traceview/ViewerWindow.h"

#include "support/TraceTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <commctrl.h>

#include <cctype>
#include <cstring>
#include <cwchar>

namespace {

using namespace TraceTestSupport;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class TraceViewWindow : public ViewerProcessTest {
protected:
    // The lines the list shows, saved by the window on request: asked here, or by "traceview
    // --save" (one more process).
    Lines Saved(bool throughCommandLine = false) {
        COPYDATASTRUCT data = {TraceView::SaveRequestMagic,
                               static_cast<DWORD>(output_.size() * sizeof(wchar_t)),
                               const_cast<wchar_t*>(output_.c_str())};
        EXPECT_TRUE(throughCommandLine
                        ? Run(L"traceview.exe", L"--save \"" + output_ + L"\"") == 0
                        : ::SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)));
        return ReadLines(output_);
    }
    // The title, or a control's text (asked for: GetWindowTextW does not ask another process).
    std::string Text(int id = 0) const {
        wchar_t text[512] = {};
        Send(id, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
        return std::string(text, text + std::wcslen(text)); // ASCII only
    }
    LRESULT Send(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageW(id == 0 ? window_ : ::GetDlgItem(window_, id), message, wParam,
                              lParam);
    }
    // As a click does (or, with code, a control's notice).
    void Command(int id, int code = BN_CLICKED) const { Send(0, WM_COMMAND, MAKEWPARAM(id, code)); }
};

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

TEST_F(TraceViewWindow, LinesOfTwoProgramsAtOnceArriveWholeAndInOrder) {
    StartViewer(L"--window");
    ChildProcess first;
    ChildProcess second;
    ASSERT_TRUE(first.Start(L"trace_sample.exe", L"--no-debugger --lines 300 --component Alpha"));
    ASSERT_TRUE(second.Start(L"trace_sample.exe", L"--no-debugger --lines 300 --component Beta"));
    ASSERT_EQ(first.Wait(60000), 0);
    ASSERT_EQ(second.Wait(60000), 0);
    const Lines saved = Saved(true);
    EXPECT_EQ(saved.size(), 608u);
    for (const std::string component : {"Alpha", "Beta"}) {
        Lines own;
        std::copy_if(saved.begin(), saved.end(), std::back_inserter(own),
                     [&](const std::string& line) { return line.find(component) == 4; });
        EXPECT_EQ(own, SampleLines(component, 300));
    }
    EXPECT_THAT(Text(), StartsWith("Trace viewer 1 (process "));
    EXPECT_THAT(Text(), HasSubstr(") - 608 lines"));
    EXPECT_THAT(Text(TraceView::IdStatus),
                StartsWith("608 of 608 shown  |  608 received  |  0 refused"));
}

// The filter text matches without case; level choice n shows levels 1 to n, choice 0 all.
TEST_F(TraceViewWindow, FilterShowsTheMatchingLinesAtOnce) {
    StartViewer(L"--window");
    ASSERT_EQ(RunSample("Alpha", 12), 0);
    ASSERT_EQ(RunSample("Beta", 12), 0);
    const Lines all = Saved();
    ASSERT_EQ(all.size(), 32u);
    const struct {
        const wchar_t* text;
        int levels;
    } rows[] = {{L"beta", 0},  {L"LINE 1", 0}, {L"", 1},        {L"", 3},
                {L"alpha", 2}, {L"answer", 4}, {L"no such", 0}, {L"", 0}};
    for (const auto& row : rows) {
        const std::string part = Lower(std::string(row.text, row.text + std::wcslen(row.text)));
        SCOPED_TRACE(part + " levels " + std::to_string(row.levels));
        ::SetDlgItemTextW(window_, TraceView::IdFilter, row.text); // sends EN_CHANGE, as typing
        Send(TraceView::IdLevel, CB_SETCURSEL, static_cast<WPARAM>(row.levels));
        Command(TraceView::IdLevel, CBN_SELCHANGE);
        Lines expected;
        std::copy_if(all.begin(), all.end(), std::back_inserter(expected), [&](const auto& line) {
            return (row.levels == 0 || line[1] - '0' <= row.levels) &&
                   Lower(line).find(part) != std::string::npos;
        });
        EXPECT_EQ(Saved(), expected);
        EXPECT_THAT(Text(TraceView::IdStatus),
                    StartsWith(std::to_string(expected.size()) + " of 32 shown"));
    }
}

TEST_F(TraceViewWindow, PauseKeepsAndCountsLinesWhileTheListStands) {
    StartViewer(L"--window");
    ASSERT_EQ(RunSample("Before", 5), 0);
    ASSERT_EQ(Saved(), SampleLines("Before", 5));
    Command(TraceView::IdPause);
    ASSERT_EQ(RunSample("During", 5), 0);
    EXPECT_EQ(Saved(), SampleLines("Before", 5));
    EXPECT_THAT(Text(), HasSubstr(" - 18 lines"));
    EXPECT_THAT(Text(TraceView::IdStatus), HasSubstr("9 of 18 shown (paused)  |  18 received"));
    Command(TraceView::IdPause);
    Lines all = SampleLines("Before", 5);
    const Lines during = SampleLines("During", 5);
    all.insert(all.end(), during.begin(), during.end());
    EXPECT_EQ(Saved(), all);
}

TEST_F(TraceViewWindow, ListFollowsTheNewestLineUnlessScrolledUp) {
    StartViewer(L"--window");
    const auto atBottom = [this] {
        Saved(); // brings the list up to date
        const LRESULT rows = Send(TraceView::IdList, LVM_GETITEMCOUNT);
        const LRESULT page = Send(TraceView::IdList, LVM_GETCOUNTPERPAGE);
        EXPECT_GT(rows, page) << "fills a page";
        return Send(TraceView::IdList, LVM_GETTOPINDEX) + page >= rows;
    };
    ASSERT_EQ(RunSample("First", 60), 0);
    EXPECT_TRUE(atBottom());
    Send(TraceView::IdList, WM_VSCROLL, SB_PAGEUP); // Wine's list takes no SB_TOP
    const LRESULT top = Send(TraceView::IdList, LVM_GETTOPINDEX);
    ASSERT_EQ(RunSample("Second", 60), 0);
    EXPECT_FALSE(atBottom()) << "scrolled up: the list stays";
    EXPECT_EQ(Send(TraceView::IdList, LVM_GETTOPINDEX), top);
    const LRESULT rows = Send(TraceView::IdList, LVM_GETITEMCOUNT);
    Send(TraceView::IdList, LVM_ENSUREVISIBLE, static_cast<WPARAM>(rows - 1), FALSE);
    ASSERT_EQ(RunSample("Third", 60), 0);
    EXPECT_TRUE(atBottom()) << "back at the bottom: the list follows again";
}

TEST_F(TraceViewWindow, CopyAlwaysOnTopAndClear) {
    StartViewer(L"--window");
    ASSERT_EQ(RunSample("Copied", 2), 0);
    Command(TraceView::IdSelectAll);
    Command(TraceView::IdCopy);
    std::string copied;
    ASSERT_TRUE(::OpenClipboard(nullptr));
    if (const HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* text = static_cast<const wchar_t*>(::GlobalLock(data))) {
            copied.assign(text, text + std::wcslen(text));
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    std::string expected;
    for (const std::string& line : SampleLines("Copied", 2)) {
        expected += line + "\r\n";
    }
    EXPECT_EQ(copied, expected);
    for (bool on : {true, false}) {
        Command(TraceView::IdTopmost);
        EXPECT_EQ((::GetWindowLongW(window_, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0, on);
    }
    Command(TraceView::IdClear);
    EXPECT_TRUE(Saved().empty());
    EXPECT_THAT(Text(), HasSubstr(" - 0 lines"));
}

// Each record that breaks the layout is refused and counted. A valid one, at the offsets that
// viewers of every version rely on: level 2, component "Hand", text "ok".
TEST_F(TraceViewWindow, RefusesMalformedRecordsAndDropsTheOldestPastTheBound) {
    StartViewer(L"--window --max-lines 10");
    using Bytes = std::vector<unsigned char>;
    const auto put = [](Bytes& record, std::size_t at, std::uint32_t value) {
        for (std::size_t i = 0; i < 4; ++i) {
            record[at + i] = static_cast<unsigned char>(value >> (8 * i));
        }
    };
    const auto send = [&](Bytes record, ULONG_PTR dwData = 0x55543132) {
        COPYDATASTRUCT data = {dwData, static_cast<DWORD>(record.size()), record.data()};
        return Send(0, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    };
    Bytes valid(84, 0);
    put(valid, 0, 84);
    put(valid, 4, 0x55543132);
    put(valid, 8, 2);
    std::memcpy(&valid[17], "Hand", 4);
    std::memcpy(&valid[81], "ok", 2);
    EXPECT_EQ(send(valid, 0x12345678), FALSE) << "wrong dwData";
    const std::uint32_t tooLong = UTrace::ViewerRecord::MaxSize + 1;
    const struct {
        const char* what;
        std::uint32_t bytes, sizeField; // sent, and claimed
        std::size_t at, count;          // then count bytes from at are set to byte
        unsigned char byte;
    } rows[] = {{"a size field of 0", 84, 0, 0, 0, 0},
                {"size field and bytes differ", 83, 84, 0, 0, 0},
                {"shorter than any record", 81, 81, 0, 0, 0},
                {"longer than any record", tooLong, tooLong, 0, 0, 0},
                {"wrong magic", 84, 84, 4, 1, 0x33},
                {"hasValue neither 0 nor 1", 84, 84, 16, 1, 2},
                {"text without its NUL", 84, 84, 83, 1, 'x'},
                {"component without its NUL", 84, 84, 17, 64, 'c'}};
    for (const auto& row : rows) {
        Bytes record = valid;
        record.resize(row.bytes, 0);
        put(record, 0, row.sizeField);
        std::fill_n(record.begin() + static_cast<std::ptrdiff_t>(row.at), row.count, row.byte);
        EXPECT_EQ(send(record), FALSE) << row.what;
    }
    EXPECT_EQ(send(valid), TRUE);
    std::fill_n(valid.begin() + 12, 4 + 1 + 64, 0); // value 5, no component
    valid[12] = 5;
    valid[16] = 1;
    EXPECT_EQ(send(valid), TRUE);
    EXPECT_EQ(Saved(), (Lines{"[2] Hand: ok", "[2] (value 5): ok"}));
    ASSERT_EQ(RunSample("Bound", 20), 0);
    const Lines all = SampleLines("Bound", 20);
    EXPECT_EQ(Saved(), Lines(all.end() - 10, all.end()));
    EXPECT_THAT(Text(), HasSubstr(" - 10 lines"));
    EXPECT_THAT(Text(TraceView::IdStatus), HasSubstr("26 received  |  9 refused  |  16 dropped"));
}

// Without output options and without a console of its own to share, traceview shows its window;
// the console viewer's window keeps the old title.
TEST_F(TraceViewWindow, ChoosesTheWindowOnlyWhenStartedOnItsOwn) {
    const struct {
        const wchar_t* arguments;
        const char* title;
    } rows[] = {{L"", "Trace viewer 1 "},
                {L"--timeout 60000", "Talven trace viewer"},
                {L"--console", "Talven trace viewer"}};
    for (const auto& row : rows) {
        StartViewer(row.arguments);
        EXPECT_THAT(Text(), StartsWith(row.title));
        EXPECT_EQ(StopViewer(), 0);
    }
}

} // namespace

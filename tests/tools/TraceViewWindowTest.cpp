// The trace viewer's window, driven as a user or a script drives it: lines of two traced
// programs at once, the filter, pause, following the newest line, clear, copy, always on top,
// refused records, the bound on lines held, and when the window is chosen over the console. Runs in
// a Wine prefix with the X11 driver on a virtual display (tests/tools/traceview-window.sh), where
// the window is really drawn; what the list holds is read back through the viewer's own save
// command.
#include "tools/traceview/Record.h"
#include "tools/traceview/ViewerWindow.h"

#include "support/TraceViewSupport.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace {

using namespace TraceViewSupport;

class TraceViewWindow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ProgramsBuilt()) {
            GTEST_SKIP() << "traceview.exe and trace_sample.exe are not built";
        }
        ASSERT_EQ(WaitForViewerWindow(0), nullptr) << "another trace viewer is running";
    }
    void TearDown() override {
        if (window_ != nullptr && ::IsWindow(window_)) {
            ::PostMessageW(window_, WM_CLOSE, 0, 0);
        }
        viewer_.Wait(20000);
    }

    void StartViewer(const std::wstring& arguments = L"--window") {
        ASSERT_TRUE(viewer_.Start(Program(L"traceview.exe"), arguments));
        window_ = WaitForViewerWindow(20000);
        ASSERT_NE(window_, nullptr) << "traceview showed no window";
        // Answered once the window is made and serves its messages.
        ::SendMessageW(window_, WM_NULL, 0, 0);
    }
    static void RunSample(const std::string& component, int lines) {
        ChildProcess sample;
        ASSERT_TRUE(sample.Start(Program(L"trace_sample.exe"),
                                 L"--no-debugger --lines " + std::to_wstring(lines) +
                                     L" --component " +
                                     std::wstring(component.begin(), component.end())));
        ASSERT_EQ(sample.Wait(60000), 0);
    }
    // The lines the list shows, saved by the window on request: sent here, or (slower, one
    // more process) by "traceview --save".
    Lines Saved(bool throughCommandLine = false) {
        const std::wstring file = folder_.Child(L"saved.txt");
        if (throughCommandLine) {
            ChildProcess save;
            EXPECT_TRUE(save.Start(Program(L"traceview.exe"), L"--save \"" + file + L"\""));
            EXPECT_EQ(save.Wait(20000), 0);
        } else {
            COPYDATASTRUCT data = {TraceView::SaveRequestMagic,
                                   static_cast<DWORD>(file.size() * sizeof(wchar_t)),
                                   const_cast<wchar_t*>(file.c_str())};
            EXPECT_EQ(::SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)),
                      TRUE);
        }
        return ReadLines(file);
    }
    // The title, or a control's text (asked for: GetWindowTextW does not ask another process).
    std::string Text(int id = 0) const {
        wchar_t text[512] = {};
        if (id == 0) {
            ::GetWindowTextW(window_, text, 512);
        } else {
            ::SendDlgItemMessageW(window_, id, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
        }
        return std::string(text, text + std::wcslen(text)); // ASCII only
    }
    void Command(int id) const {
        ::SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    }
    void Filter(const wchar_t* text, int levels) const {
        // WM_SETTEXT makes the box send EN_CHANGE, as typing does.
        ::SetDlgItemTextW(window_, TraceView::IdFilter, text);
        const HWND choice = ::GetDlgItem(window_, TraceView::IdLevel);
        ::SendMessageW(choice, CB_SETCURSEL, static_cast<WPARAM>(levels), 0);
        ::SendMessageW(window_, WM_COMMAND, MAKEWPARAM(TraceView::IdLevel, CBN_SELCHANGE),
                       reinterpret_cast<LPARAM>(choice));
    }

    TalvenTest::TestFolder folder_;
    ChildProcess viewer_;
    HWND window_ = nullptr;
};

Lines OfComponent(const Lines& lines, const std::string& component) {
    Lines own;
    for (const std::string& line : lines) {
        if (line.compare(4, component.size(), component) == 0) {
            own.push_back(line);
        }
    }
    return own;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(TraceViewWindow, LinesOfTwoProgramsAtOnceArriveWholeAndInOrder) {
    StartViewer();
    ChildProcess first;
    ChildProcess second;
    ASSERT_TRUE(
        first.Start(Program(L"trace_sample.exe"), L"--no-debugger --lines 300 --component Alpha"));
    ASSERT_TRUE(
        second.Start(Program(L"trace_sample.exe"), L"--no-debugger --lines 300 --component Beta"));
    ASSERT_EQ(first.Wait(60000), 0);
    ASSERT_EQ(second.Wait(60000), 0);
    const Lines saved = Saved(true);
    EXPECT_EQ(saved.size(), 608u);
    EXPECT_EQ(OfComponent(saved, "Alpha"), SampleLines("Alpha", 300));
    EXPECT_EQ(OfComponent(saved, "Beta"), SampleLines("Beta", 300));
    EXPECT_TRUE(Contains(Text(), "Trace viewer 1 (process ")) << Text();
    EXPECT_TRUE(Contains(Text(), ") - 608 lines")) << Text();
    EXPECT_EQ(Text(TraceView::IdStatus).rfind("608 of 608 shown  |  608 received  |  0 refused", 0),
              0u)
        << Text(TraceView::IdStatus);
}

TEST_F(TraceViewWindow, FilterShowsTheMatchingLinesAtOnce) {
    StartViewer();
    RunSample("Alpha", 12);
    RunSample("Beta", 12);
    const Lines all = Saved();
    ASSERT_EQ(all.size(), 32u);
    const struct {
        const wchar_t* text;
        int levels; // the choice: 0 every level, n levels 1 to n
    } rows[] = {{L"beta", 0},  {L"LINE 1", 0}, {L"", 1},        {L"", 3},
                {L"alpha", 2}, {L"answer", 4}, {L"no such", 0}, {L"", 0}};
    for (const auto& row : rows) {
        Filter(row.text, row.levels);
        std::string part(row.text, row.text + std::wcslen(row.text));
        std::transform(part.begin(), part.end(), part.begin(),
                       [](char c) { return static_cast<char>(std::tolower(c)); });
        Lines expected;
        for (const std::string& line : all) {
            std::string lower = line;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](char c) { return static_cast<char>(std::tolower(c)); });
            if ((row.levels == 0 || line[1] - '0' <= row.levels) && Contains(lower, part)) {
                expected.push_back(line);
            }
        }
        SCOPED_TRACE(part + " levels " + std::to_string(row.levels));
        EXPECT_EQ(Saved(), expected);
        EXPECT_EQ(
            Text(TraceView::IdStatus).rfind(std::to_string(expected.size()) + " of 32 shown", 0),
            0u)
            << Text(TraceView::IdStatus);
    }
}

TEST_F(TraceViewWindow, PauseKeepsAndCountsLinesWhileTheListStands) {
    StartViewer();
    RunSample("Before", 5);
    const Lines before = Saved();
    ASSERT_EQ(before, SampleLines("Before", 5));
    Command(TraceView::IdPause);
    RunSample("During", 5);
    EXPECT_EQ(Saved(), before);
    EXPECT_TRUE(Contains(Text(), " - 18 lines")) << Text();
    EXPECT_TRUE(Contains(Text(TraceView::IdStatus), "9 of 18 shown (paused)  |  18 received"))
        << Text(TraceView::IdStatus);
    Command(TraceView::IdPause);
    Lines all = before;
    for (const std::string& line : SampleLines("During", 5)) {
        all.push_back(line);
    }
    EXPECT_EQ(Saved(), all);
}

TEST_F(TraceViewWindow, ListFollowsTheNewestLineUnlessScrolledUp) {
    StartViewer();
    const HWND list = ::GetDlgItem(window_, TraceView::IdList);
    auto atBottom = [&] {
        Saved(); // brings the list up to date
        const auto rows = ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
        const auto last = ::SendMessageW(list, LVM_GETTOPINDEX, 0, 0) +
                          ::SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0);
        EXPECT_GT(rows, ::SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0)) << "fills a page";
        return last >= rows;
    };
    RunSample("First", 60);
    EXPECT_TRUE(atBottom());
    ::SendMessageW(list, WM_VSCROLL, SB_PAGEUP, 0); // Wine's list takes no SB_TOP
    const auto top = ::SendMessageW(list, LVM_GETTOPINDEX, 0, 0);
    RunSample("Second", 60);
    EXPECT_FALSE(atBottom()) << "scrolled up: the list stays";
    EXPECT_EQ(::SendMessageW(list, LVM_GETTOPINDEX, 0, 0), top);
    const auto rows = ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
    ::SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(rows - 1), FALSE);
    RunSample("Third", 60);
    EXPECT_TRUE(atBottom()) << "back at the bottom: the list follows again";
}

TEST_F(TraceViewWindow, CopyAlwaysOnTopAndClear) {
    StartViewer();
    RunSample("Copied", 2);
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
    EXPECT_TRUE(Contains(Text(), " - 0 lines")) << Text();
}

TEST_F(TraceViewWindow, CountsRefusedRecordsAndDropsTheOldestPastTheBound) {
    StartViewer(L"--window --max-lines 10");
    unsigned char record[90] = {};
    COPYDATASTRUCT data = {UTrace::ViewerRecord::Magic, sizeof record, record};
    EXPECT_EQ(::SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)), FALSE)
        << "a size field of 0 is refused";
    RunSample("Bound", 20);
    const Lines all = SampleLines("Bound", 20);
    EXPECT_EQ(Saved(), Lines(all.end() - 10, all.end()));
    EXPECT_TRUE(Contains(Text(), " - 10 lines")) << Text();
    EXPECT_TRUE(Contains(Text(TraceView::IdStatus), "24 received  |  1 refused  |  14 dropped"))
        << Text(TraceView::IdStatus);
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
        EXPECT_EQ(Text().rfind(row.title, 0), 0u) << Text();
        ::PostMessageW(window_, WM_CLOSE, 0, 0);
        EXPECT_EQ(viewer_.Wait(20000), 0);
        window_ = nullptr;
    }
}

} // namespace

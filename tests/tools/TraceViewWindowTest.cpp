// The trace viewer's window, driven as a user or script does, drawn on a virtual X display whose
// picture tests/tools/traceview-window.sh checks; the list is read back by its save command.
#include "tools/traceview/Record.h"
#include "tools/traceview/ViewerWindow.h"

#include "support/TraceTestSupport.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <tuple>

namespace {

using namespace TraceTestSupport;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class TraceViewWindow : public ViewerProcessTest {
protected:
    // The lines the list shows, saved on request.
    Lines Saved() {
        COPYDATASTRUCT data = {TraceView::SaveRequestMagic,
                               static_cast<DWORD>(output_.size() * sizeof(wchar_t)),
                               const_cast<wchar_t*>(output_.c_str())};
        EXPECT_TRUE(::SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)));
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
    // trace_sample without the debugger (a raise per call costs more than the line); its lines.
    static Lines RunSample(const std::string& name, int count) {
        const std::wstring c(name.begin(), name.end()), n = std::to_wstring(count);
        EXPECT_EQ(Run(L"trace_sample.exe", L"--no-debugger --lines " + n + L" --component " + c),
                  0);
        return SampleLines(name, count);
    }
};

TEST_F(TraceViewWindow, LinesOfTwoProgramsArriveWholeAndInOrderAndTheFilterShowsThem) {
    StartViewer(L"");           // on its own: the window
    ChildProcess first, second; // at once
    ASSERT_TRUE(first.Start(L"trace_sample.exe", L"--no-debugger --lines 300 --component Alpha"));
    ASSERT_TRUE(second.Start(L"trace_sample.exe", L"--no-debugger --lines 300 --component Beta"));
    ASSERT_TRUE(first.Wait(60000) == 0 && second.Wait(60000) == 0);
    ASSERT_EQ(Run(L"traceview.exe", L"--save \"" + output_ + L"\""), 0); // as a script saves
    Lines saved = ReadLines(output_), expected = SampleLines("Alpha", 300);
    const Lines beta = SampleLines("Beta", 300);
    expected.insert(expected.end(), beta.begin(), beta.end());
    std::stable_partition(saved.begin(), saved.end(),
                          [](auto& line) { return line.find("Alpha") == 4; });
    EXPECT_EQ(saved, expected);
    EXPECT_THAT(Text(), AllOf(StartsWith("Trace viewer 1 (process "), HasSubstr(") - 608 lines")));
    EXPECT_THAT(Text(TraceView::IdStatus),
                StartsWith("608 of 608 shown  |  608 received  |  0 refused"));
    // Text without case; levels n: 1 to n, 0: all. Per sample, levels 4/2/3/1 have 2/300/1/1.
    const std::tuple<const wchar_t*, int, int> rows[] = {
        {L"beta", 0, 304},  {L"LINE 1", 0, 222}, {L"", 1, 2},        {L"", 3, 604},
        {L"alpha", 2, 301}, {L"answer", 4, 2},   {L"no such", 0, 0}, {L"", 0, 608}};
    for (const auto& [text, levels, shown] : rows) {
        SCOPED_TRACE(shown);
        ::SetDlgItemTextW(window_, TraceView::IdFilter, text); // sends EN_CHANGE, as typing
        Send(TraceView::IdLevel, CB_SETCURSEL, static_cast<WPARAM>(levels));
        Command(TraceView::IdLevel, CBN_SELCHANGE);
        EXPECT_EQ(Saved().size(), static_cast<std::size_t>(shown));
        EXPECT_THAT(Text(TraceView::IdStatus), StartsWith(std::to_string(shown) + " of 608"));
    }
}

TEST_F(TraceViewWindow, PauseCopyClearRefusalsTheBoundAndTheConsoleViewer) {
    StartViewer(L"--window --max-lines 12");
    Lines all = RunSample("Before", 2);
    Command(TraceView::IdPause); // keeps and counts lines while the list stands
    const Lines during = RunSample("During", 2);
    EXPECT_EQ(Saved(), all);
    EXPECT_THAT(Text(), HasSubstr(" - 12 lines"));
    EXPECT_THAT(Text(TraceView::IdStatus), HasSubstr("6 of 12 shown (paused)  |  12 received"));
    Command(TraceView::IdPause);
    all.insert(all.end(), during.begin(), during.end());
    EXPECT_EQ(Saved(), all);
    Command(TraceView::IdSelectAll);
    Command(TraceView::IdCopy);
    ASSERT_TRUE(::OpenClipboard(nullptr));
    const HANDLE data = ::GetClipboardData(CF_UNICODETEXT);
    const auto* text = static_cast<const wchar_t*>(::GlobalLock(data)); // null when data is
    const std::string copied = text != nullptr ? std::string(text, text + std::wcslen(text)) : "";
    ::GlobalUnlock(data);
    ::CloseClipboard();
    std::string expected;
    std::for_each(all.begin(), all.end(), [&](auto& line) { expected += line + "\r\n"; });
    EXPECT_EQ(copied, expected);
    Command(TraceView::IdClear);
    EXPECT_TRUE(Saved().empty());
    EXPECT_THAT(Text(), HasSubstr(" - 0 lines"));
    // Refused and counted: wrong dwData, size field differing from the bytes, too short, too
    // long, wrong magic, hasValue 2, text or component without NUL. Valid: the layout viewers use.
    using Bytes = std::vector<unsigned char>;
    const auto send = [&](Bytes record, ULONG_PTR dwData = 0x55543132) {
        COPYDATASTRUCT copy = {dwData, static_cast<DWORD>(record.size()), record.data()};
        return Send(0, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
    };
    Bytes valid(84, 0);
    std::memcpy(&valid[0], "T\0\0\00021TU\x02", 9); // size 84, magic "21TU", level 2
    std::memcpy(&valid[17], "Hand", 4);
    std::memcpy(&valid[81], "ok", 2);
    EXPECT_EQ(send(valid, 0x12345678), FALSE);
    const std::uint32_t tooLong = UTrace::ViewerRecord::MaxSize + 1;
    // bytes sent, size claimed; then count bytes from at are set to byte
    const std::uint32_t rows[][5] = {
        {83, 84, 0, 0, 0},  {81, 81, 0, 0, 0},    {tooLong, tooLong, 0, 0, 0}, {84, 84, 4, 1, 0x33},
        {84, 84, 16, 1, 2}, {84, 84, 83, 1, 'x'}, {84, 84, 17, 64, 'c'}};
    for (const auto& [bytes, sizeField, at, count, byte] : rows) {
        Bytes record = valid;
        record.resize(bytes, 0);
        std::memcpy(&record[0], &sizeField, 4);
        std::fill_n(record.begin() + at, count, static_cast<unsigned char>(byte));
        EXPECT_EQ(send(record), FALSE) << "bytes " << bytes << ", byte " << at;
    }
    EXPECT_EQ(send(valid), TRUE);
    std::memcpy(&valid[12], "\x05\0\0\0\x01\0", 6); // value 5, no component
    EXPECT_EQ(send(valid), TRUE);
    EXPECT_EQ(Saved(), (Lines{"[2] Hand: ok", "[2] (value 5): ok"}));
    const Lines bound = RunSample("Bound", 20);
    EXPECT_EQ(Saved(), Lines(bound.end() - 12, bound.end()));
    EXPECT_THAT(Text(), HasSubstr(" - 12 lines"));
    EXPECT_THAT(Text(TraceView::IdStatus), HasSubstr("38 received  |  8 refused  |  14 dropped"));
    EXPECT_EQ(StopViewer(), 0);
    StartViewer(L"--timeout 1500"); // with options: the console viewer, of the old title
    EXPECT_THAT(Text(), StartsWith("Talven trace viewer"));
    EXPECT_EQ(viewer_.Wait(20000), 0) << "the timeout ends the viewer";
    StartViewer(L"--console");
    EXPECT_THAT(Text(), StartsWith("Talven trace viewer"));
}

} // namespace

// The trace viewer's window. Lines are stored as they arrive and the list is brought up to date
// at most ten times a second, so a flood of records costs a parse and a copy each.
#include "ViewerWindow.h"

#include "LineStore.h"
#include "Record.h"

#include "Private/Windows/TalvenWindows.h"
#include "Private/Windows/Win32Handle.h"
#include "support/ByteString.h"
#include "support/Trace.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>

namespace TraceView {

namespace {

struct GdiObjectTraits {
    using Value = HGDIOBJ;
    static Value Invalid() noexcept { return nullptr; }
    static bool Close(Value value) noexcept { return ::DeleteObject(value) != FALSE; }
};
struct AcceleratorTraits {
    using Value = HACCEL;
    static Value Invalid() noexcept { return nullptr; }
    static bool Close(Value value) noexcept { return ::DestroyAcceleratorTable(value) != FALSE; }
};
struct GlobalMemoryTraits {
    using Value = HGLOBAL;
    static Value Invalid() noexcept { return nullptr; }
    static bool Close(Value value) noexcept { return ::GlobalFree(value) == nullptr; }
};
using GdiObject = Win32Res::UniqueResource<GdiObjectTraits>;
using Accelerators = Win32Res::UniqueResource<AcceleratorTraits>;
using GlobalMemory = Win32Res::UniqueResource<GlobalMemoryTraits>;

enum Column : int {
    ColumnTime,
    ColumnProcess,
    ColumnComponent,
    ColumnLevel,
    ColumnValue,
    ColumnText
};

constexpr UINT_PTR RefreshTimer = 1;
constexpr DWORD MinRefreshInterval = 100; // ms between list updates while lines arrive
const wchar_t* const LevelChoices[] = {L"All levels", L"Level 1", L"Levels 1 to 2",
                                       L"Levels 1 to 3", L"Levels 1 to 4"};

// "1,234,567": the same in every locale, so that scripts and tests can read it.
std::wstring Grouped(std::uint64_t number) {
    std::wstring digits = std::to_wstring(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, 1, L',');
    }
    return digits;
}

std::wstring Size(std::uint64_t bytes) {
    wchar_t text[32];
    const bool large = bytes >= 1024 * 1024;
    std::swprintf(text, 32, large ? L"%.1f MB" : L"%.1f KB",
                  static_cast<double>(bytes) / (large ? 1024.0 * 1024.0 : 1024.0));
    return text;
}

std::uint64_t Now() {
    FILETIME time;
    ::GetSystemTimeAsFileTime(&time);
    return static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

// Colours by level: text and background.
struct LevelColours {
    COLORREF text;
    COLORREF back;
};
LevelColours ColoursOf(std::uint32_t level) {
    switch (level) {
    case 1:
        return {RGB(160, 0, 0), RGB(255, 226, 226)};
    case 2:
        return {RGB(150, 80, 0), RGB(255, 244, 204)};
    case 3:
        return {RGB(0, 0, 0), RGB(255, 255, 255)};
    case 4:
        return {RGB(105, 105, 105), RGB(255, 255, 255)};
    default:
        return {RGB(0, 60, 170), RGB(232, 240, 255)};
    }
}

class Viewer {
public:
    explicit Viewer(const WindowOptions& options) : store_(options.maxLines) {}

    int Run();

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    void Create();
    HWND AddControl(const wchar_t* className, const wchar_t* text, DWORD style, int id,
                    DWORD exStyle = 0);
    void Layout();
    void OnCommand(int id);
    LRESULT OnNotify(const NMHDR& header);
    BOOL OnCopyData(WPARAM sender, const COPYDATASTRUCT& data);
    void FillCell(NMLVDISPINFOW& info);
    LRESULT OnCustomDraw(NMLVCUSTOMDRAW& draw);

    void Refresh();
    void RefreshWhenDue();
    void ApplyFilter();
    void UpdateCounts();
    std::wstring Title() const;
    void SetToggle(int id, bool on);
    const TraceLine* RowLine(std::size_t row) const { return store_.ShownLine(viewBase_ + row); }
    static std::string LineText(const TraceLine& line);
    bool Save(const std::wstring& path);
    void SaveAs();
    void CopySelected();

    LineStore store_;
    HWND window_ = nullptr;
    HWND list_ = nullptr;
    HWND status_ = nullptr;
    GdiObject font_;
    int charWidth_ = 7;
    int barHeight_ = 28;

    std::uint64_t viewBase_ = 0; // shown position of the list's first row
    std::size_t viewCount_ = 0;  // rows in the list
    bool paused_ = false;
    bool topmost_ = false;
    std::uint64_t refused_ = 0;
    int instance_ = 1;
    DWORD lastRefresh_ = 0;
    DWORD refreshInterval_ = MinRefreshInterval;
    DWORD rateStart_ = 0;
    std::uint64_t rateReceived_ = 0;
    std::uint64_t rate_ = 0;
    std::wstring lastStatus_;
    std::wstring lastTitle_;
};

LRESULT CALLBACK Viewer::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* viewer =
            static_cast<Viewer*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        viewer->window_ = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(viewer));
    }
    auto* viewer = reinterpret_cast<Viewer*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (viewer == nullptr) {
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    // Nothing may leave a window procedure by an exception: the frames above are the system's.
    try {
        return viewer->Handle(message, wParam, lParam);
    } catch (const std::exception&) {
        return message == WM_COPYDATA ? FALSE : 0;
    }
}

LRESULT Viewer::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        Create();
        return 0;
    case WM_SIZE:
        Layout();
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == IdFilter && HIWORD(wParam) == EN_CHANGE) {
            ApplyFilter();
        } else if (LOWORD(wParam) == IdLevel && HIWORD(wParam) == CBN_SELCHANGE) {
            ApplyFilter();
        } else if (HIWORD(wParam) == BN_CLICKED || HIWORD(wParam) == 1) { // click or key
            OnCommand(LOWORD(wParam));
        }
        return 0;
    case WM_NOTIFY:
        return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_COPYDATA:
        return OnCopyData(wParam, *reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_TIMER:
        RefreshWhenDue();
        return 0;
    case WM_DESTROY:
        ::KillTimer(window_, RefreshTimer);
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(window_, message, wParam, lParam);
    }
}

HWND Viewer::AddControl(const wchar_t* className, const wchar_t* text, DWORD style, int id,
                        DWORD exStyle) {
    const HWND control = ::CreateWindowExW(
        exStyle, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, window_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr), nullptr);
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
    return control;
}

void Viewer::Create() {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    font_.Reset(::CreateFontIndirectW(&metrics.lfMessageFont));
    if (const HDC dc = ::GetDC(window_)) {
        const HGDIOBJ old = ::SelectObject(dc, font_.Get());
        TEXTMETRICW text = {};
        ::GetTextMetricsW(dc, &text);
        ::SelectObject(dc, old);
        ::ReleaseDC(window_, dc);
        charWidth_ = text.tmAveCharWidth > 0 ? text.tmAveCharWidth : 7;
        barHeight_ = text.tmHeight + 14;
    }

    AddControl(WC_STATICW, L"Filter:", SS_CENTERIMAGE, IdFilterLabel);
    AddControl(WC_EDITW, L"", WS_TABSTOP | ES_AUTOHSCROLL, IdFilter, WS_EX_CLIENTEDGE);
    AddControl(WC_STATICW, L"Show:", SS_CENTERIMAGE, IdLevelLabel);
    const HWND level =
        AddControl(WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, IdLevel);
    for (const wchar_t* choice : LevelChoices) {
        ::SendMessageW(level, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice));
    }
    ::SendMessageW(level, CB_SETCURSEL, 0, 0);
    AddControl(WC_BUTTONW, L"Pause", WS_TABSTOP | BS_CHECKBOX | BS_PUSHLIKE, IdPause);
    AddControl(WC_BUTTONW, L"Clear", WS_TABSTOP | BS_PUSHBUTTON, IdClear);
    AddControl(WC_BUTTONW, L"Save...", WS_TABSTOP | BS_PUSHBUTTON, IdSave);
    AddControl(WC_BUTTONW, L"Copy", WS_TABSTOP | BS_PUSHBUTTON, IdCopy);
    AddControl(WC_BUTTONW, L"Always on top", WS_TABSTOP | BS_CHECKBOX, IdTopmost);

    list_ =
        AddControl(WC_LISTVIEWW, L"", WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS,
                   IdList, WS_EX_CLIENTEDGE);
    ::SendMessageW(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                   LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    const struct {
        const wchar_t* title;
        int chars;
        int format;
    } columns[] = {{L"Received", 12, LVCFMT_LEFT},  {L"Process", 8, LVCFMT_RIGHT},
                   {L"Component", 14, LVCFMT_LEFT}, {L"Level", 6, LVCFMT_RIGHT},
                   {L"Value", 8, LVCFMT_RIGHT},     {L"Text", 80, LVCFMT_LEFT}};
    for (int i = 0; i < static_cast<int>(sizeof columns / sizeof columns[0]); ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
        column.fmt = columns[i].format;
        column.cx = columns[i].chars * charWidth_ + 12;
        column.pszText = const_cast<wchar_t*>(columns[i].title);
        column.iSubItem = i;
        ::SendMessageW(list_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i),
                       reinterpret_cast<LPARAM>(&column));
    }
    status_ = AddControl(STATUSCLASSNAMEW, L"", SBARS_SIZEGRIP, IdStatus);
    ::SetTimer(window_, RefreshTimer, MinRefreshInterval, nullptr);
    rateStart_ = ::GetTickCount();
    UpdateCounts();
}

void Viewer::Layout() {
    RECT client;
    ::GetClientRect(window_, &client);
    ::SendMessageW(status_, WM_SIZE, 0, 0);
    RECT statusRect;
    ::GetWindowRect(status_, &statusRect);
    const int statusHeight = statusRect.bottom - statusRect.top;
    const int gap = 6;
    const int height = barHeight_ - 2 * gap + 4;
    const struct {
        int id;
        int chars;
    } bar[] = {{IdFilterLabel, 6}, {IdFilter, 28}, {IdLevelLabel, 6}, {IdLevel, 17},  {IdPause, 9},
               {IdClear, 9},       {IdSave, 9},    {IdCopy, 9},       {IdTopmost, 16}};
    int x = gap;
    for (const auto& control : bar) {
        const int width = control.chars * charWidth_ + 8;
        const int controlHeight = control.id == IdLevel ? height + 200 : height;
        ::MoveWindow(::GetDlgItem(window_, control.id), x, gap - 2, width, controlHeight, TRUE);
        x += width + gap;
    }
    ::MoveWindow(list_, 0, barHeight_, client.right, client.bottom - barHeight_ - statusHeight,
                 TRUE);
    // The text column takes what the others leave.
    ::SendMessageW(list_, LVM_SETCOLUMNWIDTH, ColumnText, LVSCW_AUTOSIZE_USEHEADER);
}

void Viewer::SetToggle(int id, bool on) {
    ::SendDlgItemMessageW(window_, id, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

// Buttons and keys. The toggles keep their state here, so a WM_COMMAND sent by a script acts
// as a click does.
void Viewer::OnCommand(int id) {
    Refresh(); // the commands act on every line received so far
    switch (id) {
    case IdPause:
        paused_ = !paused_;
        SetToggle(IdPause, paused_);
        Refresh();
        break;
    case IdClear:
        store_.Clear();
        viewBase_ = store_.FirstShown();
        viewCount_ = 0;
        ::SendMessageW(list_, LVM_SETITEMCOUNT, 0, 0);
        UpdateCounts();
        break;
    case IdSave:
        SaveAs();
        break;
    case IdCopy:
        CopySelected();
        break;
    case IdSelectAll: {
        LVITEMW item = {};
        item.stateMask = LVIS_SELECTED;
        item.state = LVIS_SELECTED;
        ::SendMessageW(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                       reinterpret_cast<LPARAM>(&item));
        break;
    }
    case IdTopmost:
        topmost_ = !topmost_;
        SetToggle(IdTopmost, topmost_);
        ::SetWindowPos(window_, topmost_ ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE);
        break;
    default:
        break;
    }
}

LRESULT Viewer::OnNotify(const NMHDR& header) {
    if (header.idFrom != IdList) {
        return 0;
    }
    auto& mutableHeader = const_cast<NMHDR&>(header);
    if (header.code == LVN_GETDISPINFOW) {
        FillCell(reinterpret_cast<NMLVDISPINFOW&>(mutableHeader));
    } else if (header.code == NM_CUSTOMDRAW) {
        return OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW&>(mutableHeader));
    }
    return 0;
}

BOOL Viewer::OnCopyData(WPARAM sender, const COPYDATASTRUCT& data) {
    if (data.dwData == SaveRequestMagic) {
        if (data.lpData == nullptr || data.cbData % sizeof(wchar_t) != 0) {
            return FALSE;
        }
        return Save(std::wstring(static_cast<const wchar_t*>(data.lpData),
                                 data.cbData / sizeof(wchar_t)))
                   ? TRUE
                   : FALSE;
    }
    Record record;
    if (ParseRecord(data.dwData, data.lpData, data.cbData, record) != nullptr) {
        ++refused_;
        return FALSE;
    }
    TraceLine line;
    line.received = Now();
    // A sender may pass its own window, as WM_COPYDATA provides; the library's traced programs
    // pass none (their record layout and message are fixed), so their column stays empty.
    DWORD process = 0;
    const HWND window = reinterpret_cast<HWND>(sender);
    if (window != nullptr && ::IsWindow(window)) {
        ::GetWindowThreadProcessId(window, &process);
    }
    line.process = process;
    line.level = record.level;
    line.value = record.value;
    line.hasValue = record.hasValue;
    line.component = std::move(record.component);
    line.text = std::move(record.text);
    store_.Add(std::move(line));
    // A steady stream of sent messages can hold off the timer: bring the list up to date here.
    RefreshWhenDue();
    return TRUE;
}

void Viewer::FillCell(NMLVDISPINFOW& info) {
    LVITEMW& item = info.item;
    if ((item.mask & LVIF_TEXT) == 0 || item.pszText == nullptr || item.cchTextMax <= 0) {
        return;
    }
    item.pszText[0] = L'\0';
    const TraceLine* line = RowLine(static_cast<std::size_t>(item.iItem));
    if (line == nullptr) {
        return;
    }
    std::wstring text;
    switch (item.iSubItem) {
    case ColumnTime: {
        const ULARGE_INTEGER utc = {
            {static_cast<DWORD>(line->received), static_cast<DWORD>(line->received >> 32)}};
        FILETIME utcTime = {utc.LowPart, utc.HighPart};
        FILETIME localTime;
        SYSTEMTIME parts;
        if (::FileTimeToLocalFileTime(&utcTime, &localTime) &&
            ::FileTimeToSystemTime(&localTime, &parts)) {
            wchar_t stamp[32];
            std::swprintf(stamp, 32, L"%02u:%02u:%02u.%03u", parts.wHour, parts.wMinute,
                          parts.wSecond, parts.wMilliseconds);
            text = stamp;
        }
        break;
    }
    case ColumnProcess:
        if (line->process != 0) {
            text = std::to_wstring(line->process);
        }
        break;
    case ColumnComponent:
        text = TextConvert::AnsiToWide(line->component);
        break;
    case ColumnLevel:
        text = std::to_wstring(line->level);
        break;
    case ColumnValue:
        if (line->hasValue) {
            text = std::to_wstring(line->value);
        }
        break;
    default:
        text = TextConvert::AnsiToWide(line->text);
        break;
    }
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(item.cchTextMax - 1));
    text.copy(item.pszText, length);
    item.pszText[length] = L'\0';
}

LRESULT Viewer::OnCustomDraw(NMLVCUSTOMDRAW& draw) {
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
        if (const TraceLine* line = RowLine(static_cast<std::size_t>(draw.nmcd.dwItemSpec))) {
            const LevelColours colours = ColoursOf(line->level);
            draw.clrText = colours.text;
            draw.clrTextBk = colours.back;
        }
        return CDRF_NEWFONT;
    }
    default:
        return CDRF_DODEFAULT;
    }
}

// Brings the list up to the lines held (unless paused), scrolls to the newest line while the
// user is at the bottom, and updates the counts.
// An update redraws the list: a slow one comes less often, so that drawing takes at most about
// a tenth of the time and the rest is left for receiving.
void Viewer::RefreshWhenDue() {
    if (::GetTickCount() - lastRefresh_ >= refreshInterval_) {
        Refresh();
        const DWORD cost = ::GetTickCount() - lastRefresh_;
        refreshInterval_ = std::min<DWORD>(std::max<DWORD>(10 * cost, MinRefreshInterval), 2000);
    }
}

void Viewer::Refresh() {
    lastRefresh_ = ::GetTickCount();
    if (!paused_) {
        const std::uint64_t base = store_.FirstShown();
        const auto count = static_cast<std::size_t>(store_.EndShown() - base);
        if (base != viewBase_ || count != viewCount_) {
            const auto top = static_cast<std::size_t>(::SendMessageW(list_, LVM_GETTOPINDEX, 0, 0));
            const auto page =
                static_cast<std::size_t>(::SendMessageW(list_, LVM_GETCOUNTPERPAGE, 0, 0));
            const bool atBottom = top + page >= viewCount_;
            const bool moved = base != viewBase_;
            viewBase_ = base;
            viewCount_ = count;
            ::SendMessageW(list_, LVM_SETITEMCOUNT, count,
                           LVSICF_NOSCROLL | (moved ? 0 : LVSICF_NOINVALIDATEALL));
            if (moved) {
                ::InvalidateRect(list_, nullptr, FALSE);
            }
            if (atBottom && count != 0) {
                ::SendMessageW(list_, LVM_ENSUREVISIBLE, count - 1, FALSE);
            }
        }
    }
    UpdateCounts();
}

void Viewer::ApplyFilter() {
    wchar_t text[256] = {};
    ::GetDlgItemTextW(window_, IdFilter, text, 256);
    const auto choice = ::SendDlgItemMessageW(window_, IdLevel, CB_GETCURSEL, 0, 0);
    store_.SetFilter(TextConvert::WideToAnsi(text),
                     choice > 0 ? static_cast<std::uint32_t>(choice) : 0u);
    // A new filter shows its lines at once, also while paused.
    viewBase_ = store_.FirstShown();
    viewCount_ = static_cast<std::size_t>(store_.EndShown() - viewBase_);
    ::SendMessageW(list_, LVM_SETITEMCOUNT, viewCount_, 0);
    if (viewCount_ != 0) {
        ::SendMessageW(list_, LVM_ENSUREVISIBLE, viewCount_ - 1, FALSE);
    }
    ::InvalidateRect(list_, nullptr, FALSE);
    UpdateCounts();
}

void Viewer::UpdateCounts() {
    const DWORD now = ::GetTickCount();
    if (now - rateStart_ >= 1000) {
        rate_ = (store_.Received() - rateReceived_) * 1000 / (now - rateStart_);
        rateStart_ = now;
        rateReceived_ = store_.Received();
    }
    std::wstring status = Grouped(viewCount_) + L" of " + Grouped(store_.Held()) + L" shown";
    if (paused_) {
        status += L" (paused)";
    }
    status += L"  |  " + Grouped(store_.Received()) + L" received  |  " + Grouped(refused_) +
              L" refused  |  " + Grouped(store_.Dropped()) + L" dropped  |  " + Grouped(rate_) +
              L" lines/s  |  " + Size(store_.MemoryBytes()) + L" held";
    if (status != lastStatus_) {
        ::SendMessageW(status_, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(status.c_str()));
        lastStatus_ = std::move(status);
    }
    std::wstring title = Title();
    if (title != lastTitle_) {
        ::SetWindowTextW(window_, title.c_str());
        lastTitle_ = std::move(title);
    }
}

// Says which viewer this is, since only one of several receives the lines.
std::wstring Viewer::Title() const {
    return L"Trace viewer " + std::to_wstring(instance_) + L" (process " +
           std::to_wstring(::GetCurrentProcessId()) + L") - " + Grouped(store_.Held()) +
           (store_.Held() == 1 ? L" line" : L" lines");
}

std::string Viewer::LineText(const TraceLine& line) {
    return FormatLine(line.level, line.component, line.hasValue, line.value, line.text);
}

// Writes the rows of the list, as the console writes lines, in UTF-8.
bool Viewer::Save(const std::wstring& path) {
    Refresh();
    Win32Res::FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    std::string chunk;
    auto flush = [&]() {
        DWORD written = 0;
        const bool ok =
            chunk.empty() || (::WriteFile(file.Get(), chunk.data(),
                                          static_cast<DWORD>(chunk.size()), &written, nullptr) &&
                              written == chunk.size());
        chunk.clear();
        return ok;
    };
    for (std::size_t row = 0; row < viewCount_; ++row) {
        if (const TraceLine* line = RowLine(row)) {
            chunk += TextConvert::Chars(TextConvert::AnsiToUtf8(LineText(*line)));
            if (chunk.size() >= 65536 && !flush()) {
                return false;
            }
        }
    }
    return flush() && file.Close();
}

void Viewer::SaveAs() {
    wchar_t path[MAX_PATH] = L"trace.txt";
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = L"Text files (*.txt)\0*.txt\0All files\0*.*\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrDefExt = L"txt";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (::GetSaveFileNameW(&dialog) && !Save(path)) {
        ::MessageBoxW(window_, L"The lines could not be saved to that file.", L"Trace viewer",
                      MB_OK | MB_ICONERROR);
    }
}

void Viewer::CopySelected() {
    std::wstring text;
    for (int row = -1;
         (row = static_cast<int>(::SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(row),
                                                LVNI_SELECTED))) >= 0;) {
        if (const TraceLine* line = RowLine(static_cast<std::size_t>(row))) {
            text += TextConvert::AnsiToWide(LineText(*line));
        }
    }
    if (text.empty() || !::OpenClipboard(window_)) {
        return;
    }
    GlobalMemory memory(::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t)));
    if (memory) {
        if (void* target = ::GlobalLock(memory.Get())) {
            std::memcpy(target, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
            ::GlobalUnlock(memory.Get());
            ::EmptyClipboard();
            if (::SetClipboardData(CF_UNICODETEXT, memory.Get()) != nullptr) {
                memory.Release(); // the clipboard owns it now
            }
        }
    }
    ::CloseClipboard();
}

int Viewer::Run() {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    for (HWND other = nullptr; (other = ::FindWindowExW(nullptr, other, UTrace::ViewerWindowClass,
                                                        nullptr)) != nullptr;) {
        ++instance_;
    }
    const HINSTANCE module = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = module;
    windowClass.hIcon = ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = UTrace::ViewerWindowClass;
    if (::RegisterClassExW(&windowClass) == 0 ||
        ::CreateWindowExW(0, UTrace::ViewerWindowClass, Title().c_str(), WS_OVERLAPPEDWINDOW,
                          CW_USEDEFAULT, CW_USEDEFAULT, 1000, 600, nullptr, nullptr, module,
                          this) == nullptr) {
        const DWORD error = ::GetLastError();
        wchar_t text[96];
        std::swprintf(text, 96, L"The trace viewer's window could not be made (error %lu).",
                      static_cast<unsigned long>(error));
        ::MessageBoxW(nullptr, text, L"Trace viewer", MB_OK | MB_ICONERROR);
        return 1;
    }
    ::ShowWindow(window_, SW_SHOWNORMAL);
    const ACCEL keys[] = {{FCONTROL | FVIRTKEY, 'C', IdCopy},
                          {FCONTROL | FVIRTKEY, 'S', IdSave},
                          {FCONTROL | FVIRTKEY, 'A', IdSelectAll},
                          {FVIRTKEY, VK_PAUSE, IdPause}};
    const Accelerators accelerators(
        ::CreateAcceleratorTableW(const_cast<ACCEL*>(keys), sizeof keys / sizeof keys[0]));
    const HWND filter = ::GetDlgItem(window_, IdFilter);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        // The filter box keeps its own editing keys.
        if (message.hwnd != filter &&
            ::TranslateAcceleratorW(window_, accelerators.Get(), &message)) {
            continue;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}

} // namespace

int RunWindow(const WindowOptions& options) {
    Viewer viewer(options);
    return viewer.Run();
}

} // namespace TraceView

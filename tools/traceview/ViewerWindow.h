// The trace viewer's window: a virtual list of the lines received, coloured by level, with a
// filter, pause, clear, save, copy and always-on-top, and a status bar of counts.
#pragma once

#include <cstddef>

namespace TraceView {

// The window's controls. A script may send the window WM_COMMAND with a command id (and a zero
// lParam) to act as a click does: IdPause and IdTopmost toggle, IdClear forgets every line,
// IdSave asks for a file, IdCopy copies the selected lines, IdSelectAll selects every line. The
// filter box and the level choice act when they notify the window (EN_CHANGE, CBN_SELCHANGE);
// the status bar's text holds the counts.
enum ControlId : int {
    IdFilterLabel = 100,
    IdFilter,
    IdLevelLabel,
    IdLevel, // choice i shows levels up to i; choice 0 shows every level
    IdPause,
    IdClear,
    IdSave,
    IdCopy,
    IdTopmost,
    IdList,
    IdStatus,
    IdSelectAll,
};

struct WindowOptions {
    std::size_t maxLines = 1000000; // past this the oldest lines are dropped
};

// Registers the viewer class, shows the window and serves it until it is closed. Returns the
// process exit code: 0, or 1 when the window could not be made (reported to the user).
int RunWindow(const WindowOptions& options);

} // namespace TraceView

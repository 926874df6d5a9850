// Which family of Windows the process runs on, asked in one place for the whole library.
#pragma once

namespace SystemFamily {

// True on the Windows 9x family (the top bit of GetVersion set; Wine sets it for a program
// configured as Windows 98). Decided once per process. Never raises.
bool IsWindows9x();

} // namespace SystemFamily

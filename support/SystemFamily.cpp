// The one answer to "is this the Windows 9x family?".
#include "support/SystemFamily.h"

#include "support/TalvenWindows.h"

namespace SystemFamily {

bool IsWindows9x() {
    // GetVersion is deprecated for version numbers, but this bit is all that is asked of it.
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
    static const bool win9x = (::GetVersion() & 0x80000000u) != 0;
    return win9x;
}

} // namespace SystemFamily

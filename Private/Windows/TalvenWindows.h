// Moved to support/TalvenWindows.h; kept only until the files that still name this path are
// updated.
#pragma once
#include "support/TalvenWindows.h"

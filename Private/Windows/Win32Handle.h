// Moved to support/Win32Handle.h; kept only until the files that still name this path are updated.
#pragma once
#include "support/Win32Handle.h"

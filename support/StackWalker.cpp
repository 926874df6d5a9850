// The process-wide stack-walker hook: the registered walker, or a do-nothing walker.
#include "support/StackWalker.h"

namespace StackWalker {

namespace {

// Constant-initialised, so exceptions raised during static initialisation of other files see an
// empty pointer rather than an unconstructed one.
CountedPtr<StackWalker_IF> registered;

} // namespace

StackWalker_IF& instance() {
    if (StackWalker_IF* walker = registered.Get()) {
        return *walker;
    }
    // Created on first use and destroyed at process exit.
    static DummyStackWalker dummy;
    return dummy;
}

void setInstance(const CountedPtr<StackWalker_IF>& walker) {
    registered = walker;
}

} // namespace StackWalker

// The stack-walker hook: exception constructors call walk() on the process-wide walker once
// their message is built, so a host can record where failures arise.
#pragma once

#include "support/CountedPtr.h"

namespace StackWalker {

class StackWalker_IF {
public:
    virtual ~StackWalker_IF() = default;
    virtual void walk() = 0;
};

// The walker used while none is registered; walk() does nothing.
class DummyStackWalker : public StackWalker_IF {
public:
    void walk() override {}
};

// The registered walker, or the process's dummy walker (created on first use).
StackWalker_IF& instance();
// Registers walker; an empty pointer unregisters the current one. Not locked: call at start-up.
void setInstance(const CountedPtr<StackWalker_IF>& walker);

} // namespace StackWalker

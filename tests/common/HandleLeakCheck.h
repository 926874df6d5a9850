// Test support: proves that a scope, or a whole test, gives back every OS handle it took. The
// check compares ProcessHandleCount (common/HandleCount.h) before and after; the listener runs
// it around every test of the suites that link common/TestMain.cpp.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace TalvenTest {

// Takes the process handle count when made. The first check of a process first warms up what
// takes handles once and keeps them (see HandleLeakListener), so that only handles the code
// under test keeps are counted. Meant for one thread; other threads of the test must have
// ended (and been joined) before the count is compared.
class HandleLeakCheck {
public:
    HandleLeakCheck();

    // Whether this system can count handles (see ProcessHandleCount); when it cannot, Leaked
    // answers 0 and Expect checks nothing.
    bool Counting() const { return before_ >= 0; }
    // The count taken when the check was made; -1 when the system cannot count.
    long Before() const { return before_; }
    // How many more handles the process holds now than when the check was made, re-counted a
    // few times while it is above: a handle that another thread is closing, or that Wine closes
    // on its own schedule, is given a moment to go. Negative when handles were closed.
    long Leaked() const;
    // Adds a test failure naming what when Leaked is above 0.
    void Expect(const std::string& what) const;

private:
    long before_;
};

// Makes the current count the start count of the running test's check by HandleLeakListener.
// For a test that warms up lazy one-time state of its own first: under Wine, for example, a
// lock gets a semaphore handle on its first contention and keeps it for the process's life.
void RestartTestHandleCount();

// Runs a HandleLeakCheck around every test and fails the test that ends with more handles than
// it started with, when the environment sets TALVEN_HANDLE_CHECK=1. Lazy one-time set-ups
// (the unwinder, debugger output, the desktop, COM, the loader's lock) take handles on first
// use and keep them, so the listener warms those up before the first test and counts from
// there. Opt-in because under Wine 8, reading the system handle table around every test made
// about one in fifty test processes hang at exit when suites ran two at a time.
class HandleLeakListener : public ::testing::EmptyTestEventListener {
public:
    void OnTestProgramStart(const ::testing::UnitTest& unitTest) override;
    void OnTestStart(const ::testing::TestInfo& test) override;
    void OnTestEnd(const ::testing::TestInfo& test) override;
    void OnTestProgramEnd(const ::testing::UnitTest& unitTest) override;

private:
    bool active_ = false;
    std::unique_ptr<HandleLeakCheck> check_;
    int checked_ = 0;
    int leaking_ = 0;
};

} // namespace TalvenTest

// Test support: the main program of the file-system suites, which checks every test for
// handles it did not give back when TALVEN_HANDLE_CHECK=1 (common/HandleLeakCheck.h).
#include "common/HandleLeakCheck.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Appended after the result printer: gtest calls the end of a test on the listeners in
    // reverse order, so a leak reported there still counts in the printed result.
    ::testing::UnitTest::GetInstance()->listeners().Append(new TalvenTest::HandleLeakListener());
    return RUN_ALL_TESTS();
}

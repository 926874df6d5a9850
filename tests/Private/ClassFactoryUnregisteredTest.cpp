// The class factory before any factory is registered: a program of its own, because the
// registration lasts for the life of the process and nothing here may call Install.
#include "Private/FileSpec.h"
#include "Private/FileSystem_ClassFactory_IF.h"
#include "support/TalvenException.h"

#include <gtest/gtest.h>

TEST(ClassFactoryUnregisteredTest, EveryPathRaisesTheInternalErrorBeforeRegistration) {
    void (*const actions[])() = {
        [] { FileSpec spec(FilePath(L"C:\\dir\\file.txt")); },
        [] { FileSpec spec{FilePath()}; }, // the registration is checked before the empty path
    };
    const std::string expected =
        "-2 internal software error: .\\Private\\FileSystem_ClassFactory_IF, line ";
    for (const auto& action : actions) {
        try {
            action();
            ADD_FAILURE() << "no exception"; // a FileException would have another code
        } catch (const TalvenException& e) {
            const std::string message =
                std::to_string(e.code()) + " " + TextConvert::Chars(e.message());
            EXPECT_EQ(message.substr(0, expected.size()), expected) << message;
        }
    }
    // Nothing else needs a factory.
    EXPECT_TRUE(FileSpec().IsNull() && FileSpec(CountedPtr<FileSystem::FileSpec_IF>()).IsNull());
}

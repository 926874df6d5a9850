// The class factory before any factory is registered: a program of its own, because the
// registration lasts for the life of the process and nothing here may call Install.
#include "Private/FileSpec.h"
#include "Private/FileSystem_ClassFactory_IF.h"
#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <string>

TEST(ClassFactoryUnregisteredTest, EveryPathRaisesTheInternalErrorBeforeRegistration) {
    void (*const actions[])() = {
        [] { FileSpec spec(FilePath(L"C:\\dir\\file.txt")); },
        [] { FileSpec spec{FilePath()}; }, // the registration is checked before the empty path
        [] { FileSystem::ClassFactory_IF::NewFileSpec(FilePath()); },
        [] { FileSystem::ClassFactory_IF::NewFileSpec(FilePath(L"x")); },
    };
    for (const auto& action : actions) {
        try {
            action();
            ADD_FAILURE() << "no exception";
        } catch (const FileException& e) {
            ADD_FAILURE() << "a FileException: " << e.what();
        } catch (const TalvenException& e) {
            EXPECT_EQ(e.code(), -2);
            const std::string message = TextConvert::Chars(e.message());
            EXPECT_EQ(
                message.find("internal software error: .\\Private\\FileSystem_ClassFactory_IF, "
                             "line "),
                0u)
                << message;
        }
    }
    // Nothing else needs a factory.
    EXPECT_TRUE(FileSpec().IsNull());
    EXPECT_TRUE(FileSpec(CountedPtr<FileSystem::FileSpec_IF>()).IsNull());
}

// The class factory before any factory is registered: a program of its own, because the
// registration lasts for the life of the process and nothing here may call Install.
#include "Private/FileSpec.h"
#include "Private/FileSystem_ClassFactory_IF.h"
#include "support/TalvenException.h"

#include <gtest/gtest.h>

TEST(ClassFactoryUnregisteredTest, EveryPathRaisesTheInternalErrorBeforeRegistration) {
    const std::string expected =
        "-2 internal software error: .\\Private\\FileSystem_ClassFactory_IF, line ";
    // The registration is checked before the empty path.
    for (const FilePath& path : {FilePath(L"C:\\dir\\file.txt"), FilePath()}) {
        try {
            const FileSpec spec(path);
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

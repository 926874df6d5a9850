// Tests of the class factory before any factory is registered: a program of its own, because
// the registration lasts for the life of the process.
#include "Private/FileSpec.h"
#include "Private/FileSystem_ClassFactory_IF.h"
#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

// The plain internal-software-error exception of the factory, not a FileException.
void ExpectUnregistered(const std::function<void()>& action) {
    try {
        action();
        ADD_FAILURE() << "no exception";
    } catch (const FileException& e) {
        ADD_FAILURE() << "a FileException: " << e.what();
    } catch (const TalvenException& e) {
        EXPECT_EQ(e.code(), -2);
        const std::string message = TextConvert::Chars(e.message());
        EXPECT_EQ(message.rfind(
                      "internal software error: .\\Private\\FileSystem_ClassFactory_IF, line ", 0),
                  0u)
            << message;
    }
}

TEST(ClassFactoryUnregisteredTest, EveryPathRaisesBeforeRegistration) {
    ExpectUnregistered([] { FileSpec spec(FilePath(L"C:\\dir\\file.txt")); });
    // The registration is checked before the empty path.
    ExpectUnregistered([] { FileSpec spec{FilePath()}; });
    ExpectUnregistered([] { FileSystem::ClassFactory_IF::NewFileSpec(FilePath()); });
    ExpectUnregistered([] { FileSystem::ClassFactory_IF::NewFileSpec(FilePath(L"x")); });

    // Nothing else needs a factory.
    EXPECT_TRUE(FileSpec().IsNull());
    EXPECT_TRUE(FileSpec(CountedPtr<FileSystem::FileSpec_IF>()).IsNull());
}

} // namespace

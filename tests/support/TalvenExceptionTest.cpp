// Exceptions: codes, messages, stack walks, what() in ANSI, clone(), raise(), causes.
#include "support/TalvenException.h"
#include "support/StackWalker.h"

#include "common/TestHelpers.h"
#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <typeinfo>

namespace {

std::string Text(const ByteString& bytes) {
    return TextConvert::Chars(bytes);
}

// A TalvenException whose message accessor fails, to reach the conversion's failure path.
class BrokenException : public TalvenException {
public:
    BrokenException() : TalvenException(TalvenText("broken")) {}
    const ByteString& message() const override { throw std::runtime_error("no message"); }
};

struct CountingWalker : StackWalker::StackWalker_IF {
    void walk() override { ++calls; }
    int calls = 0;
};

// Every row's construction walks the stack once, except the conversions and copies.
TEST(TalvenException, CodesAndMessagesOfEveryKindAndTheStackWalks) {
    CountingWalker* walker = new CountingWalker;
    StackWalker::setInstance(CountedPtr<StackWalker::StackWalker_IF>(walker));
    const std::string denied = Text(TextConvert::WideToUtf8(SystemException::Win32Message(5)));
    ASSERT_FALSE(denied.empty());
    EXPECT_EQ(denied.find_last_of("\r\n"), std::string::npos);
    TalvenException withNote(FileException::VolumeFull);
    withNote.setNote("while writing");
    const std::exception& asStd = withNote;
    // 0xBC614E: padded, upper case, no system text. A facility-7 HRESULT skips WMERROR.DLL and
    // NETMSG.DLL (missing under Wine; on Windows they lack this code) and asks the system.
    const std::tuple<TalvenException, std::int32_t, std::string> rows[] = {
        {TalvenException(".\\Private\\FileSpec", 81), -2,
         "internal software error: .\\Private\\FileSpec, line 81"},
        {exceptionFromCode(-10005), -10005, "file not found"},
        {exceptionFromCode(12345), 12345, "unknown error: 12345"},
        {exceptionFromCode(-13), -13, "unknown error: -13"},
        {TalvenException{std::bad_alloc()}, -1, "memory allocation error"},
        {TalvenException{std::runtime_error("x")}, -3, "runtime error: x"},
        {TalvenException(asStd), -10011, "volume full"},
        {TalvenException(static_cast<const std::exception&>(BrokenException())), -1, ""},
        {SystemException::MMRESULT(11), -15, "operating system error: MMRESULT = 0x0000000B"},
        {SystemException::Errno(2), -11,
         "operating system error: number = 2 - No such file or directory"},
        {SystemException::Win32(5), -12, "operating system error: number = 0x00000005 - " + denied},
        {SystemException::Win32(12345678), -12,
         "operating system error: number = 0x00BC614E - n/a"},
        {SystemException::HRESULT(static_cast<std::int32_t>(0x80070005)), -14,
         "operating system error: HRESULT = 0x80070005 - " + denied},
        {SystemException::HRESULT(static_cast<std::int32_t>(0xA0DE0001)), -14,
         "operating system error: HRESULT = 0xA0DE0001 - "}, // no text at all, not "n/a"
        {FileException(FileException::FileNotFound, TextConvert::Bytes("C:\\a")), -10005,
         "file not found"},
        // An OS error without a kind: the base is the system exception itself (one walk).
        {FileException(SystemException::Win32(12345678), ByteString(), nullptr), -12,
         "operating system error: number = 0x00BC614E - n/a"},
    };
    EXPECT_EQ(walker->calls, 16); // withNote and each row, but row 6, a mere conversion
    for (const auto& [e, code, message] : rows) {
        EXPECT_EQ(e.code(), code);
        EXPECT_EQ(Text(e.message()), message);
        EXPECT_EQ(e.what(), message); // ASCII: the same in the ANSI code page
    }
    EXPECT_EQ(std::get<0>(rows[6]).note(), "while writing");
    EXPECT_EQ(SystemException::Errno(-1).number(), 0xFFFFFFFFu);
    EXPECT_EQ(Text(SystemException::Errno(-1).message())
                  .rfind("operating system error: number = -1 - ", 0),
              0u);
    TalvenException assigned(TalvenException::UnknownError);
    assigned = withNote;
    EXPECT_EQ(assigned.code(), -10011);
    EXPECT_EQ(assigned.note(), "while writing");
    EXPECT_THROW(std::unique_ptr<TalvenException>(assigned.clone())->raise(), TalvenException);
    EXPECT_EQ(walker->calls, 19); // the three made since
    StackWalker::setInstance(CountedPtr<StackWalker::StackWalker_IF>());
}

TEST(TalvenException, WhatIsInTheAnsiCodePage) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "expects the Western code page 1252";
    }
    // what() of a standard exception is ANSI; the message holds it as UTF-8.
    EXPECT_EQ(Text(TalvenException{std::logic_error("gr\xFC\xDF")}.message()),
              "runtime error: gr\xC3\xBC\xC3\x9F");
    TalvenException e(TalvenText("gr\xC3\xBC\xC3\x9F \xD0\x96"));
    const char* first = e.what();
    // U+0416 has no place in code page 1252 and becomes its default character.
    EXPECT_STREQ(first, "gr\xFC\xDF ?");
    EXPECT_STREQ(e.what(), first);
}

// A system exception's clone() and raise() keep its type and number (another type fails the
// test); a FileException shares its cause with copies and raises a plain exception.
TEST(FileException, CloneAndRaiseOfSystemAndFileExceptionsAndTheSharedCause) {
    const auto expectOwnType = [](const auto& e) {
        try {
            std::unique_ptr<TalvenException>(e.clone())->raise();
            ADD_FAILURE() << "raise() returned";
        } catch (const std::decay_t<decltype(e)>& raised) {
            EXPECT_EQ(raised.number(), e.number());
        }
    };
    expectOwnType(SystemException::Errno(13));
    expectOwnType(SystemException::Win32(2u));
    expectOwnType(SystemException::HRESULT(static_cast<std::int32_t>(0x80004005)));
    expectOwnType(SystemException::MMRESULT(11u));
    CountedPtr<TalvenException> cause(new SystemException::Win32(2));
    FileException e(FileException::FileNotFound, TextConvert::Bytes("C:\\a\\b.txt"), cause);
    EXPECT_EQ(Text(e.path()), "C:\\a\\b.txt");
    EXPECT_EQ(e.cause(), cause.Get());
    {
        FileException copy(e);
        std::unique_ptr<TalvenException> clone(e.clone());
        EXPECT_EQ(copy.cause(), cause.Get());
        EXPECT_EQ(static_cast<FileException*>(clone.get())->cause(), cause.Get());
        EXPECT_EQ(cause.UseCount(), 4);
    }
    EXPECT_EQ(cause.UseCount(), 2);
    FileException denied(FileException::AccessDenied, TextConvert::Bytes("C:\\x"));
    denied.setNote("kept");
    try {
        denied.raise();
    } catch (const TalvenException& raised) {
        EXPECT_EQ(DynamicType(&raised), typeid(TalvenException));
        EXPECT_EQ(raised.code(), -10000);
        EXPECT_EQ(raised.note(), "kept");
    }
}

} // namespace

// Exceptions: codes and messages of every constructor, the operating system's texts, what() in
// the ANSI code page, FileException copies and raise(), and the stack-walker hook.
#include "support/TalvenException.h"
#include "support/StackWalker.h"

#include "common/TestFolder.h"
#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <stdexcept>

namespace {

std::string Text(const ByteString& bytes) {
    return TextConvert::Chars(bytes);
}

std::string Utf8(const std::wstring& wide) {
    return TextConvert::Chars(TextConvert::WideToUtf8(wide));
}

class CountingWalker : public StackWalker::StackWalker_IF {
public:
    explicit CountingWalker(int* calls) : calls_(calls) {}
    void walk() override { ++*calls_; }

private:
    int* calls_;
};

// Registers a counting walker for one test and unregisters it afterwards.
class StackWalkerHook : public ::testing::Test {
protected:
    void SetUp() override {
        StackWalker::setInstance(
            CountedPtr<StackWalker::StackWalker_IF>(new CountingWalker(&calls)));
    }
    void TearDown() override {
        StackWalker::setInstance(CountedPtr<StackWalker::StackWalker_IF>());
    }
    int calls = 0;
};

// A TalvenException whose message accessor fails, to reach the conversion's failure path.
class BrokenException : public TalvenException {
public:
    BrokenException() : TalvenException(TalvenText("broken")) {}
    const ByteString& message() const override { throw std::runtime_error("no message"); }
};

TEST(TalvenException, InternalErrorNamesSourceAndLine) {
    TalvenException e(".\\Private\\FileSpec", 81);
    EXPECT_EQ(e.code(), -2);
    EXPECT_EQ(Text(e.message()), "internal software error: .\\Private\\FileSpec, line 81");
    EXPECT_STREQ(e.what(), "internal software error: .\\Private\\FileSpec, line 81");
}

TEST(TalvenException, FromCodeUsesRegisteredTextOrKeepsTheCode) {
    TalvenException known = exceptionFromCode(-10005);
    EXPECT_EQ(known.code(), -10005);
    EXPECT_EQ(Text(known.message()), "file not found");

    TalvenException unknown = exceptionFromCode(12345);
    EXPECT_EQ(unknown.code(), 12345);
    EXPECT_EQ(Text(unknown.message()), "unknown error: 12345");

    EXPECT_EQ(Text(exceptionFromCode(-13).message()), "unknown error: -13");
}

TEST(TalvenException, ConvertsStandardExceptions) {
    TalvenException memory{std::bad_alloc()};
    EXPECT_EQ(memory.code(), -1);
    EXPECT_EQ(Text(memory.message()), "memory allocation error");

    TalvenException runtime{std::runtime_error("x")};
    EXPECT_EQ(runtime.code(), -3);
    EXPECT_EQ(Text(runtime.message()), "runtime error: x");

    // what() of a standard exception is ANSI; the message holds it as UTF-8.
    TalvenException ansi{std::logic_error("gr\xFC\xDF")};
    if (::GetACP() == 1252) {
        EXPECT_EQ(Text(ansi.message()), "runtime error: gr\xC3\xBC\xC3\x9F");
    }

    TalvenException original(FileException::VolumeFull);
    original.setNote("while writing");
    const std::exception& asStd = original;
    TalvenException copied(asStd);
    EXPECT_EQ(copied.code(), -10011);
    EXPECT_EQ(Text(copied.message()), "volume full");
    EXPECT_EQ(copied.note(), "while writing");
    TalvenException assigned(TalvenException::UnknownError);
    assigned = original;
    EXPECT_EQ(assigned.code(), -10011);
    EXPECT_EQ(assigned.note(), "while writing");

    const std::exception& broken = BrokenException();
    TalvenException failed(broken);
    EXPECT_EQ(failed.code(), -1);
    EXPECT_TRUE(failed.message().empty());
    EXPECT_STREQ(failed.what(), "");
}

TEST(TalvenException, WhatIsInTheAnsiCodePage) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "expects the Western code page 1252";
    }
    TalvenException e(TalvenText("gr\xC3\xBC\xC3\x9F \xD0\x96"));
    const char* first = e.what();
    // U+0416 has no place in code page 1252 and becomes its default character.
    EXPECT_STREQ(first, "gr\xFC\xDF ?");
    EXPECT_STREQ(e.what(), first);
}

TEST(TalvenException, MessageFollowsTheSelectedLanguage) {
    TalvenTest::TestFolder folder;
    folder.WriteFile(L"DEU.txt",
                     "\xEF\xBB\xBF-10005 Datei nicht gefunden\r\n-12 Fehler %0: %1\r\n");
    TalvenText::setLanguage(7, TextConvert::WideToUtf8(folder.Path()));
    FileException missing(FileException::FileNotFound, TextConvert::Bytes("C:\\x"));
    SystemException::MMRESULT unchanged(11);
    SystemException::Win32 translated(0x3FFFFFFF);
    TalvenText::setLanguage(TalvenText::EmbeddedEnglish, ByteString());

    EXPECT_EQ(Text(missing.message()), "Datei nicht gefunden");
    EXPECT_EQ(Text(unchanged.message()), "operating system error: MMRESULT = 0x0000000B");
    EXPECT_EQ(Text(translated.message()), "Fehler 0x3FFFFFFF: n/a");
}

TEST(SystemException, MessagesAndNumbers) {
    SystemException::MMRESULT mm(11);
    EXPECT_EQ(mm.code(), -15);
    EXPECT_EQ(mm.number(), 11u);
    EXPECT_EQ(Text(mm.message()), "operating system error: MMRESULT = 0x0000000B");

    SystemException::Errno noFile(2);
    EXPECT_EQ(noFile.code(), -11);
    EXPECT_EQ(Text(noFile.message()),
              "operating system error: number = 2 - No such file or directory");
    SystemException::Errno negative(-1);
    EXPECT_EQ(negative.number(), 0xFFFFFFFFu);
    EXPECT_EQ(Text(negative.message()).rfind("operating system error: number = -1 - ", 0), 0u);

    const std::wstring denied = SystemException::Win32Message(5);
    ASSERT_FALSE(denied.empty());
    EXPECT_NE(denied.back(), L'\n');
    EXPECT_NE(denied.back(), L'\r');
    SystemException::Win32 win32(5);
    EXPECT_EQ(win32.code(), -12);
    EXPECT_EQ(win32.number(), 5u);
    EXPECT_EQ(Text(win32.message()),
              "operating system error: number = 0x00000005 - " + Utf8(denied));

    // 12345678 = 0xBC614E: padded to eight digits, upper case; the system has no text for it.
    SystemException::Win32 unknown(12345678);
    EXPECT_EQ(Text(unknown.message()), "operating system error: number = 0x00BC614E - n/a");

    SystemException::HRESULT hr(static_cast<std::int32_t>(0x80070005));
    EXPECT_EQ(hr.code(), -14);
    EXPECT_EQ(hr.number(), 0x80070005u);
    EXPECT_EQ(Text(hr.message()), "operating system error: HRESULT = 0x80070005 - " + Utf8(denied));
}

TEST(SystemException, HResultModuleWalkFallsBackToTheSystem) {
    // Facility 7: WMERROR.DLL and NETMSG.DLL are missing under Wine (on Windows they lack
    // this code), so the walk must skip them and ask the system.
    EXPECT_EQ(SystemException::HResultMessage(static_cast<std::int32_t>(0x80070005)),
              SystemException::Win32Message(5));
    // No module and not the system: the text is empty, not "n/a".
    EXPECT_EQ(SystemException::HResultMessage(static_cast<std::int32_t>(0xA0DE0001)), L"");
    SystemException::HRESULT none(static_cast<std::int32_t>(0xA0DE0001));
    EXPECT_EQ(Text(none.message()), "operating system error: HRESULT = 0xA0DE0001 - ");
}

template <class T, class Value>
void ExpectOwnTypeOnRaise(Value value) {
    T original(value);
    std::unique_ptr<TalvenException> clone(original.clone());
    ASSERT_NE(dynamic_cast<T*>(clone.get()), nullptr);
    try {
        clone->raise();
    } catch (const T& raised) {
        EXPECT_EQ(raised.number(), original.number());
        EXPECT_EQ(raised.message(), original.message());
        return;
    } catch (...) {
    }
    ADD_FAILURE() << "raise() did not throw its own type";
}

TEST(SystemException, CloneAndRaiseKeepTheirType) {
    ExpectOwnTypeOnRaise<SystemException::Errno>(13);
    ExpectOwnTypeOnRaise<SystemException::Win32>(2u);
    ExpectOwnTypeOnRaise<SystemException::HRESULT>(static_cast<std::int32_t>(0x80004005));
    ExpectOwnTypeOnRaise<SystemException::MMRESULT>(11u);
}

TEST(FileException, KeepsPathApartAndSharesItsCause) {
    CountedPtr<TalvenException> cause(new SystemException::Win32(2));
    FileException e(FileException::FileNotFound, TextConvert::Bytes("C:\\a\\b.txt"), cause);
    EXPECT_EQ(e.code(), -10005);
    EXPECT_STREQ(e.what(), "file not found");
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

    // An OS error without a kind: the base is the system exception itself.
    FileException plain(*cause, TextConvert::Bytes("C:\\x"), cause);
    EXPECT_EQ(plain.code(), -12);
    EXPECT_EQ(plain.message(), cause->message());

    FileException noCause(FileException::VolumeLocked, ByteString());
    EXPECT_EQ(noCause.cause(), nullptr);
}

TEST(FileException, RaiseThrowsAPlainTalvenException) {
    FileException e(FileException::AccessDenied, TextConvert::Bytes("C:\\x"));
    e.setNote("kept");
    try {
        e.raise();
    } catch (const FileException&) {
        ADD_FAILURE() << "raise() kept the FileException type";
    } catch (const TalvenException& raised) {
        EXPECT_EQ(raised.code(), -10000);
        EXPECT_EQ(raised.note(), "kept");
    }
}

TEST_F(StackWalkerHook, CalledByTheBuildingConstructorsOnly) {
    TalvenException fromText(FileException::EndOfFile);
    EXPECT_EQ(calls, 1);
    TalvenException internal(".\\Private\\X", 1);
    EXPECT_EQ(calls, 2);
    TalvenException fromBadAlloc{std::bad_alloc()};
    TalvenException fromRuntime{std::runtime_error("r")};
    EXPECT_EQ(calls, 4);
    const std::exception& asStd = fromText;
    TalvenException fromTalven(asStd);
    TalvenException copy(fromText);
    copy = internal;
    std::unique_ptr<TalvenException> clone(copy.clone());
    try {
        copy.raise();
    } catch (const TalvenException&) {
    }
    EXPECT_EQ(calls, 4);

    SystemException::Win32 win32(5);
    EXPECT_EQ(calls, 5);
    FileException fromKind(FileException::FileExists, ByteString());
    EXPECT_EQ(calls, 6);
    FileException fromBase(win32, ByteString(), CountedPtr<TalvenException>());
    FileException fileCopy(fromKind);
    EXPECT_EQ(calls, 6);
    exceptionFromCode(-10005);
    exceptionFromCode(777);
    EXPECT_EQ(calls, 8);
}

} // namespace

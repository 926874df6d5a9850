// The process-wide diagnostic trace: printf-style lines at four levels, scope objects that log
// function entry and exit indented by a per-thread depth, written to the debugger and, when a
// trace viewer window is present, to that window as WM_COPYDATA records. Silent until init.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio> // defines the MinGW printf archetype
#include <string>

class TalvenException;

// printf-format checking where the compiler offers it. MinGW names the archetype that matches
// the stdio implementation in use; MSVC has no such attribute.
#if defined(__MINGW_PRINTF_FORMAT)
#define UTRACE_PRINTF(formatIndex, firstArg)                                                       \
    __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArg)))
#elif defined(__GNUC__)
#define UTRACE_PRINTF(formatIndex, firstArg) __attribute__((format(printf, formatIndex, firstArg)))
#else
#define UTRACE_PRINTF(formatIndex, firstArg)
#endif

namespace UTrace {

// Passing this exact pointer as a format writes nothing. Compared by address: another string
// that reads "silent" is traced like any other text.
extern const char* const silent;

// Flag bits (setFlags/getFlags).
constexpr std::uint32_t FlagDebugger = 0x1;  // write to the debugger
constexpr std::uint32_t FlagAllLevels = 0x2; // write every level, whatever setLevel says
constexpr std::uint32_t FlagTimestamp = 0x4; // put "h:m:s.mmm : " in front of each line

// The trace viewer: a window of this class receives every line as a WM_COPYDATA record whose
// dwData is ViewerRecord::Magic and whose payload has the layout below (little-endian, no
// padding). Only the bytes up to and including the text's NUL are sent. The sender waits for
// the window while it holds the trace lock, so a viewer window inside a traced process must be
// served by a thread that never traces.
constexpr wchar_t ViewerWindowClass[] = L"Talvenco::Trace::1.0";

namespace ViewerRecord {
constexpr std::uint32_t Magic = 0x55543132;
constexpr std::size_t OffsetSize = 0;       // 4 bytes: bytes sent, HeaderSize + text length
constexpr std::size_t OffsetMagic = 4;      // 4 bytes: Magic
constexpr std::size_t OffsetLevel = 8;      // 4 bytes: the line's level
constexpr std::size_t OffsetValue = 12;     // 4 bytes: the caller's value, 0 without one
constexpr std::size_t OffsetHasValue = 16;  // 1 byte: 1 when value was given
constexpr std::size_t OffsetComponent = 17; // 64 bytes: NUL-terminated, zero-padded
constexpr std::size_t ComponentSize = 64;
constexpr std::size_t OffsetText = 81; // the line, NUL-terminated
constexpr std::size_t MaxTextLength = 1023;
// The size of a record with an empty text: the fixed fields and the text's NUL.
constexpr std::size_t HeaderSize = OffsetText + 1;
constexpr std::size_t MaxSize = HeaderSize + MaxTextLength;
} // namespace ViewerRecord

// Decides whether a line goes on to the viewer window; called under the trace lock with the
// level, the component ("" for none) and the formatted message without indentation or
// timestamp. Lines it writes itself are dropped; an exception it raises suppresses the record.
using Filter = bool (*)(std::uint32_t level, const char* component, const char* message);

// Starts tracing with component "", level 0, flags 3 and no filter, sets the calling thread's
// depth to 0 and looks for the viewer window. Returns false (changing nothing) when already
// initialised. Never raises.
bool init();
// Stops tracing and removes the filter. Never raises.
void shutdown();

// The default component of lines and of UTrace::Function scopes: at most 63 characters are
// kept; nullptr means "". Never raises.
void setComponent(const char* name);
// Copies the component, cut to fit and NUL-terminated, into buffer of size bytes (nothing when
// size is 0). With a null buffer, sets size to the size needed: the length plus one.
void getComponent(char* buffer, std::size_t& size);

// The highest level written unless FlagAllLevels is set.
void setLevel(std::int32_t level);
std::int32_t getLevel();
void setFlags(std::uint32_t flags);
std::uint32_t getFlags();
// Installs the filter, or removes it with nullptr.
void setFilter(Filter filter);
// True when level is not above the current level, or FlagAllLevels is set.
bool isEnabled(std::int32_t level);

// Writing lines. Each writes one line when tracing is initialised and isEnabled(level); a
// disabled level costs one lock and one comparison, without formatting. Messages are cut to
// 1023 characters. A null format writes an empty message. Never raise.
void trace(std::int32_t level, const char* format, ...) UTRACE_PRINTF(2, 3);
void traceComponent(const char* component, std::int32_t level, const char* format, ...)
    UTRACE_PRINTF(3, 4);
void trace1(const char* format, ...) UTRACE_PRINTF(1, 2);
void trace1Component(const char* component, const char* format, ...) UTRACE_PRINTF(2, 3);
void trace2(const char* format, ...) UTRACE_PRINTF(1, 2);
void trace2Component(const char* component, const char* format, ...) UTRACE_PRINTF(2, 3);
void trace3(const char* format, ...) UTRACE_PRINTF(1, 2);
void trace3Component(const char* component, const char* format, ...) UTRACE_PRINTF(2, 3);
// Level 3 with a number that the viewer record carries in its value field.
void trace3Value(std::int32_t value, const char* format, ...) UTRACE_PRINTF(2, 3);
void trace3ValueComponent(const char* component, std::int32_t value, const char* format, ...)
    UTRACE_PRINTF(3, 4);

// One level-1 line: [prefix ": "] error = <code>, message = "<message in the ANSI code page>"
// [, note = "<note>"]. The prefix and note parts appear only when not empty. Never raises.
void traceException(const TalvenException& exception, const char* prefix = nullptr);
void traceExceptionComponent(const char* component, const TalvenException& exception,
                             const char* prefix = nullptr);

// Base of the scope objects. Building one writes "<name> - <message>" at level 4 and makes the
// calling thread's lines one step deeper; destroying it restores the depth and writes
// "<name> - return" or "<name> - <result text>". Scope lines skip the level test: they are
// written whenever tracing is initialised. Built and destroyed on the same thread. Neither
// building nor destroying raises.
class ITrace {
public:
    virtual ~ITrace();
    ITrace(const ITrace&) = delete;
    ITrace& operator=(const ITrace&) = delete;

    // The value last given to setResult, 0 before.
    virtual long result() const;
    // Stores value and the text of the exit line: the formatted text, or "return = <value>"
    // when format is null. UTrace::silent suppresses the exit line instead. Returns value.
    // Never raises.
    virtual long setResult(long value, const char* format, ...);

protected:
    ITrace();
    // Records the depth, writes the entry line (format null: "enter"; UTrace::silent: none)
    // and deepens the calling thread by one step.
    void enter(const char* component, const char* name, const char* format, std::va_list args);

private:
    std::string component_;
    std::string name_;
    std::string resultText_;
    long resultValue_;
    std::uint32_t savedDepth_;
    bool silent_;
};

// A scope with the process-wide component at the time it is built.
class Function : public ITrace {
public:
    explicit Function(const char* name, const char* format = nullptr, ...);
};

// A scope with its own component.
class FunctionComponent : public ITrace {
public:
    FunctionComponent(const char* component, const char* name, const char* format = nullptr, ...);
};

} // namespace UTrace

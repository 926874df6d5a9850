// The trace facility: process-wide state, line formatting, the debugger and viewer outputs, and
// the scope objects.
#include "support/Trace.h"

#include "support/ByteString.h"
#include "support/CriticalSection.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/tls_data.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>

namespace UTrace {

namespace {
// A named array, not a literal, so that no other "silent" literal can share its address.
const char silentText[] = "silent";
} // namespace

const char* const silent = silentText;

} // namespace UTrace

namespace {

namespace Layout = UTrace::ViewerRecord;

static_assert(Layout::OffsetMagic == Layout::OffsetSize + 4, "record layout");
static_assert(Layout::OffsetLevel == Layout::OffsetMagic + 4, "record layout");
static_assert(Layout::OffsetValue == Layout::OffsetLevel + 4, "record layout");
static_assert(Layout::OffsetHasValue == Layout::OffsetValue + 4, "record layout");
static_assert(Layout::OffsetComponent == Layout::OffsetHasValue + 1, "record layout");
static_assert(Layout::OffsetText == Layout::OffsetComponent + Layout::ComponentSize,
              "record layout");
static_assert(Layout::HeaderSize == 82 && Layout::MaxSize == 82 + 1023, "record layout");

constexpr std::size_t LineSize = 1024; // 1023 characters and the NUL
constexpr std::size_t ComponentLength = Layout::ComponentSize - 1;
constexpr DWORD LookupInterval = 3000;

// Every item below is constant-initialised, so it is valid before any static constructor runs.
// The lock itself is initialised by the first of the static holder below and UTrace::init.
TalvenRawCriticalSection traceLock;
bool lockReady = false;

std::atomic<bool> initialised{false};
std::atomic<std::int32_t> level{0};
std::atomic<std::uint32_t> flags{3};
std::atomic<UTrace::Filter> filter{nullptr};

// Guarded by the trace lock.
char component[Layout::ComponentSize];
std::int32_t viewerState = -1; // -1 not looked up, 0 absent, 1 found
HWND viewerWindow = nullptr;
DWORD lastLookup = 0;
// Set while the lock's owner writes a line: the lock is recursive, so a filter or an in-thread
// viewer window that traces would otherwise re-enter the writer without end.
bool writing = false;

std::unique_ptr<tls_data<std::uint32_t>> depth;

// Start-up and shut-down happen on one thread, before and after other threads trace.
void EnsureLock() {
    if (!lockReady) {
        TalvenInitializeCriticalSection(traceLock);
        lockReady = true;
    }
}

// Creates the lock and the depth storage at program start and deletes them at exit. Tracing
// stops before the lock goes, so a static destructor that traces afterwards writes nothing.
struct StaticLifetime {
    StaticLifetime() {
        EnsureLock();
        try {
            depth.reset(new tls_data<std::uint32_t>(1, 0));
        } catch (...) {
            // Without a TLS slot every thread works at depth 0.
        }
    }
    ~StaticLifetime() {
        if (lockReady) {
            TalvenEnterCriticalSection(traceLock);
            initialised.store(false);
            filter.store(nullptr);
            TalvenLeaveCriticalSection(traceLock);
            TalvenDeleteCriticalSection(traceLock);
            lockReady = false;
        }
        depth.reset();
    }
};
StaticLifetime staticLifetime;

// The calling thread's depth, or nullptr when the storage is missing or refuses (then the
// thread is treated as depth 0: tracing must not fail the traced code).
std::uint32_t* DepthSlot() noexcept {
    if (!depth) {
        return nullptr;
    }
    try {
        return &(*depth)[0];
    } catch (...) {
        return nullptr;
    }
}

std::uint32_t CurrentDepth() noexcept {
    const std::uint32_t* slot = DepthSlot();
    return slot != nullptr ? *slot : 0;
}

void PutU32(unsigned char* at, std::uint32_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
    at[2] = static_cast<unsigned char>(value >> 16);
    at[3] = static_cast<unsigned char>(value >> 24);
}

// Appends text at pos, never past the last character of a line buffer; returns the new end.
std::size_t Append(char* line, std::size_t pos, const char* text) {
    while (pos < LineSize - 1 && *text != '\0') {
        line[pos++] = *text++;
    }
    line[pos] = '\0';
    return pos;
}

// "<name> - " (when name is given) followed by the formatted text, cut to 1023 characters.
void FormatText(char* out, const char* name, const char* format, std::va_list args) {
    std::size_t pos = 0;
    out[0] = '\0';
    if (name != nullptr) {
        pos = Append(out, pos, name);
        pos = Append(out, pos, " - ");
    }
    if (format != nullptr && pos < LineSize - 1) {
        // vsnprintf cuts and terminates; the explicit NUL also covers runtimes that do not.
        std::vsnprintf(out + pos, LineSize - pos, format, args);
    }
    out[LineSize - 1] = '\0';
}

std::uint64_t Microseconds() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    if (::QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0 &&
        ::QueryPerformanceCounter(&counter)) {
        const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
        const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
        // Whole seconds first: counter x 1,000,000 overflows after some days of uptime.
        return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
    }
    return static_cast<std::uint64_t>(std::clock()) * 1000000u / CLOCKS_PER_SEC;
}

std::size_t Timestamp(char* line) {
    const std::uint64_t micros = Microseconds();
    const std::uint64_t seconds = micros / 1000000u;
    const auto millis = static_cast<unsigned>(micros % 1000000u / 1000u);
    const auto hours = static_cast<unsigned>(seconds / 3600u);
    const auto minutes = static_cast<unsigned>(seconds / 60u % 60u);
    const auto secs = static_cast<unsigned>(seconds % 60u);
    const int written =
        std::snprintf(line, LineSize, "%u:%u:%u.%03u : ", hours, minutes, secs, millis);
    return written > 0 ? static_cast<std::size_t>(written) : 0;
}

// Under the lock. Looks the viewer window up unless the last lookup is less than the interval
// ago (force skips that wait). Returns whether a window is known.
bool LookupViewer(bool force) {
    const DWORD now = ::GetTickCount();
    // Unsigned difference: correct across the tick counter's wrap.
    if (!force && viewerState != -1 && now - lastLookup < LookupInterval) {
        return viewerState == 1;
    }
    lastLookup = now;
    viewerWindow = ::FindWindowW(UTrace::ViewerWindowClass, nullptr);
    viewerState = viewerWindow != nullptr ? 1 : 0;
    return viewerState == 1;
}

// Under the lock: builds the record and sends it to the known viewer window.
void SendToViewer(std::int32_t lineLevel, std::int32_t value, bool hasValue, const char* name,
                  const char* line, std::size_t length) {
    unsigned char record[Layout::MaxSize];
    const auto size = static_cast<std::uint32_t>(Layout::HeaderSize + length);
    PutU32(record + Layout::OffsetSize, size);
    PutU32(record + Layout::OffsetMagic, Layout::Magic);
    PutU32(record + Layout::OffsetLevel, static_cast<std::uint32_t>(lineLevel));
    PutU32(record + Layout::OffsetValue, hasValue ? static_cast<std::uint32_t>(value) : 0u);
    record[Layout::OffsetHasValue] = hasValue ? 1 : 0;
    std::memset(record + Layout::OffsetComponent, 0, Layout::ComponentSize);
    if (name != nullptr) {
        std::size_t nameLength = 0;
        while (nameLength < ComponentLength && name[nameLength] != '\0') {
            ++nameLength;
        }
        std::memcpy(record + Layout::OffsetComponent, name, nameLength);
    }
    std::memcpy(record + Layout::OffsetText, line, length + 1);

    COPYDATASTRUCT copyData;
    copyData.dwData = Layout::Magic;
    copyData.cbData = size;
    copyData.lpData = record;
    // Our viewer answers TRUE. A zero answer from a window that no longer exists means the
    // viewer has gone: look again at once so that a restarted viewer gets this line.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HWND target = viewerWindow;
        if (::SendMessageW(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copyData)) != 0 ||
            ::IsWindow(target)) {
            return;
        }
        if (!LookupViewer(true) || viewerWindow == target) {
            return;
        }
    }
}

// Clears the re-entry flag on every exit of a line.
struct WritingScope {
    WritingScope() { writing = true; }
    ~WritingScope() { writing = false; }
    WritingScope(const WritingScope&) = delete;
    WritingScope& operator=(const WritingScope&) = delete;
};

// Under the lock, with tracing initialised: steps after formatting.
void Emit(const char* name, std::int32_t lineLevel, std::int32_t value, bool hasValue,
          const char* message) {
    const WritingScope scope;
    const std::uint32_t currentFlags = flags.load(std::memory_order_relaxed);

    char line[LineSize];
    std::size_t length = 0;
    line[0] = '\0';
    if ((currentFlags & UTrace::FlagTimestamp) != 0) {
        length = Timestamp(line);
    }
    const std::uint64_t indent = 2ull * CurrentDepth();
    for (std::uint64_t i = 0; i < indent && length < LineSize - 1; ++i) {
        line[length++] = ' ';
    }
    line[length] = '\0';
    length = Append(line, length, message);

    if ((currentFlags & UTrace::FlagDebugger) != 0) {
        char prefix[LineSize];
        prefix[0] = '\0';
        if (name != nullptr) {
            std::snprintf(prefix, sizeof prefix, "%.1020s: ", name);
        }
        ::OutputDebugStringA(prefix);
        ::OutputDebugStringA(line);
        ::OutputDebugStringA("\r\n");
    }

    if (const UTrace::Filter current = filter.load(std::memory_order_relaxed)) {
        bool pass = false;
        try {
            pass = current(static_cast<std::uint32_t>(lineLevel), name != nullptr ? name : "",
                           message);
        } catch (...) {
            pass = false;
        }
        if (!pass) {
            return;
        }
    }

    // A viewer started after the traced program is found within one lookup interval.
    if (viewerState != 1 && !LookupViewer(false)) {
        return;
    }
    SendToViewer(lineLevel, value, hasValue, name, line, length);
}

// The common road of every line. name is the scope's function name for scope lines, else null.
void WriteV(const char* lineComponent, bool processComponent, bool levelTest,
            std::int32_t lineLevel, std::int32_t value, bool hasValue, const char* name,
            const char* format, std::va_list args) noexcept {
    // Before init the lock may not exist yet; nothing is written then anyway.
    if (!initialised.load(std::memory_order_acquire)) {
        return;
    }
    TalvenRawSectionGuard guard(traceLock);
    if (!initialised.load(std::memory_order_relaxed) || writing) {
        return;
    }
    if (levelTest && !UTrace::isEnabled(lineLevel)) {
        return;
    }
    if (format == UTrace::silent) {
        return;
    }
    char message[LineSize];
    FormatText(message, name, format, args);
    Emit(processComponent ? component : lineComponent, lineLevel, value, hasValue, message);
}

void WriteF(const char* lineComponent, const char* name, const char* format, ...) noexcept {
    std::va_list args;
    va_start(args, format);
    WriteV(lineComponent, false, false, 4, 0, false, name, format, args);
    va_end(args);
}

void WriteException(const char* lineComponent, bool processComponent,
                    const TalvenException& exception, const char* prefix) noexcept {
    if (!initialised.load(std::memory_order_acquire)) {
        return;
    }
    TalvenRawSectionGuard guard(traceLock);
    if (!initialised.load(std::memory_order_relaxed) || writing || !UTrace::isEnabled(1)) {
        return;
    }
    char message[LineSize];
    try {
        const std::string text = TextConvert::Utf8ToAnsi(exception.message());
        const std::string& note = exception.note();
        int length = 0;
        if (prefix != nullptr && *prefix != '\0') {
            length = std::snprintf(message, sizeof message, "%s: ", prefix);
        }
        std::size_t pos = length > 0 ? static_cast<std::size_t>(length) : 0;
        if (pos < sizeof message - 1) {
            length =
                std::snprintf(message + pos, sizeof message - pos, "error = %d, message = \"%s\"",
                              static_cast<int>(exception.code()), text.c_str());
            pos += length > 0 ? static_cast<std::size_t>(length) : 0;
        }
        if (!note.empty() && pos < sizeof message - 1) {
            std::snprintf(message + pos, sizeof message - pos, ", note = \"%s\"", note.c_str());
        }
        message[sizeof message - 1] = '\0';
    } catch (const std::exception&) {
        return; // out of memory while converting: the line is dropped, the caller goes on
    }
    Emit(processComponent ? component : lineComponent, 1, 0, false, message);
}

void CopyComponent(const char* name) {
    std::memset(component, 0, sizeof component);
    if (name != nullptr) {
        for (std::size_t i = 0; i < ComponentLength && name[i] != '\0'; ++i) {
            component[i] = name[i];
        }
    }
}

} // namespace

namespace UTrace {

bool init() {
    EnsureLock();
    TalvenRawSectionGuard guard(traceLock);
    if (initialised.load(std::memory_order_relaxed)) {
        return false;
    }
    CopyComponent(nullptr);
    level.store(0);
    flags.store(3);
    filter.store(nullptr);
    if (std::uint32_t* slot = DepthSlot()) {
        *slot = 0;
    }
    // A fresh look, not the cached answer: a viewer may have come or gone since the last run.
    LookupViewer(true);
    initialised.store(true, std::memory_order_release);
    return true;
}

void shutdown() {
    filter.store(nullptr);
    initialised.store(false);
}

void setComponent(const char* name) {
    EnsureLock();
    TalvenRawSectionGuard guard(traceLock);
    CopyComponent(name);
}

void getComponent(char* buffer, std::size_t& size) {
    EnsureLock();
    TalvenRawSectionGuard guard(traceLock);
    const std::size_t length = std::strlen(component);
    if (buffer == nullptr) {
        size = length + 1;
        return;
    }
    if (size == 0) {
        return;
    }
    const std::size_t copied = length < size - 1 ? length : size - 1;
    std::memcpy(buffer, component, copied);
    buffer[copied] = '\0';
}

void setLevel(std::int32_t value) {
    level.store(value, std::memory_order_relaxed);
}

std::int32_t getLevel() {
    return level.load(std::memory_order_relaxed);
}

void setFlags(std::uint32_t value) {
    flags.store(value, std::memory_order_relaxed);
}

std::uint32_t getFlags() {
    return flags.load(std::memory_order_relaxed);
}

void setFilter(Filter value) {
    filter.store(value);
}

bool isEnabled(std::int32_t lineLevel) {
    return lineLevel <= level.load(std::memory_order_relaxed) ||
           (flags.load(std::memory_order_relaxed) & FlagAllLevels) != 0;
}

#define UTRACE_WRITE(component, processComponent, lineLevel, value, hasValue)                      \
    std::va_list args;                                                                             \
    va_start(args, format);                                                                        \
    WriteV(component, processComponent, true, lineLevel, value, hasValue, nullptr, format, args);  \
    va_end(args)

void trace(std::int32_t lineLevel, const char* format, ...) {
    UTRACE_WRITE(nullptr, true, lineLevel, 0, false);
}

void traceComponent(const char* name, std::int32_t lineLevel, const char* format, ...) {
    UTRACE_WRITE(name, false, lineLevel, 0, false);
}

void trace1(const char* format, ...) {
    UTRACE_WRITE(nullptr, true, 1, 0, false);
}

void trace1Component(const char* name, const char* format, ...) {
    UTRACE_WRITE(name, false, 1, 0, false);
}

void trace2(const char* format, ...) {
    UTRACE_WRITE(nullptr, true, 2, 0, false);
}

void trace2Component(const char* name, const char* format, ...) {
    UTRACE_WRITE(name, false, 2, 0, false);
}

void trace3(const char* format, ...) {
    UTRACE_WRITE(nullptr, true, 3, 0, false);
}

void trace3Component(const char* name, const char* format, ...) {
    UTRACE_WRITE(name, false, 3, 0, false);
}

void trace3Value(std::int32_t value, const char* format, ...) {
    UTRACE_WRITE(nullptr, true, 3, value, true);
}

void trace3ValueComponent(const char* name, std::int32_t value, const char* format, ...) {
    UTRACE_WRITE(name, false, 3, value, true);
}

#undef UTRACE_WRITE

void traceException(const TalvenException& exception, const char* prefix) {
    WriteException(nullptr, true, exception, prefix);
}

void traceExceptionComponent(const char* name, const TalvenException& exception,
                             const char* prefix) {
    WriteException(name, false, exception, prefix);
}

ITrace::ITrace() : resultValue_(0), savedDepth_(0), silent_(false) {}

ITrace::~ITrace() {
    try {
        if (std::uint32_t* slot = DepthSlot()) {
            *slot = savedDepth_;
        }
        if (!silent_) {
            if (resultText_.empty()) {
                WriteF(component_.c_str(), name_.c_str(), "return");
            } else {
                WriteF(component_.c_str(), name_.c_str(), "%s", resultText_.c_str());
            }
        }
    } catch (const std::exception&) {
        // A destructor must not raise; a lost exit line is the lesser harm.
    }
}

long ITrace::result() const {
    return resultValue_;
}

long ITrace::setResult(long value, const char* format, ...) {
    resultValue_ = value;
    if (format == silent) {
        silent_ = true;
        return value;
    }
    char text[LineSize];
    if (format == nullptr) {
        std::snprintf(text, sizeof text, "return = %ld", value);
    } else {
        std::va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
    }
    text[sizeof text - 1] = '\0';
    try {
        resultText_ = text;
    } catch (const std::exception&) {
        resultText_.clear(); // out of memory: the exit line says only "return"
    }
    return value;
}

void ITrace::enter(const char* lineComponent, const char* name, const char* format,
                   std::va_list args) {
    try {
        component_ = lineComponent != nullptr ? lineComponent : "";
        name_ = name != nullptr ? name : "";
    } catch (const std::exception&) {
        // Out of memory: the scope's lines go out without names rather than failing the caller.
    }
    std::uint32_t* slot = DepthSlot();
    savedDepth_ = slot != nullptr ? *slot : 0;
    if (format != silent) {
        WriteV(component_.c_str(), false, false, 4, 0, false, name_.c_str(),
               format != nullptr ? format : "enter", args);
    }
    if (slot != nullptr) {
        *slot = savedDepth_ + 1;
    }
}

Function::Function(const char* name, const char* format, ...) {
    char current[Layout::ComponentSize];
    {
        EnsureLock();
        TalvenRawSectionGuard guard(traceLock);
        std::memcpy(current, component, sizeof current);
    }
    std::va_list args;
    va_start(args, format);
    enter(current, name, format, args);
    va_end(args);
}

FunctionComponent::FunctionComponent(const char* lineComponent, const char* name,
                                     const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    enter(lineComponent, name, format, args);
    va_end(args);
}

} // namespace UTrace

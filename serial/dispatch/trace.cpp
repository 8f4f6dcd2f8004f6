// The trace: a ring of (direction, byte) entries of everything written and
// read, and its text file of "Transmit: " and "Receive: " sections.

#include "serial/dispatch/base_dispatcher.h"

#include "platform/text_file.h"
#include "serial/dispatch/detail/byte_render.h"
#include "serial/errors/error_codes.h"

#include <new>

namespace kivo {

using namespace kivo::win;

namespace {
constexpr DWORD MaxTraceEntries = 4000000;
}

int TKivBaseDispatcher::InitTrace(int entries)
{
    TCriticalSectionLock hold(StateLock);
    if (TraceBuf) {
        ClearTrace();
    } else {
        if (entries < 1 || static_cast<DWORD>(entries) > MaxTraceEntries) return ecBadArgument;
        auto* buffer = new (std::nothrow) std::uint8_t[2 * static_cast<std::size_t>(entries)]();
        if (!buffer) return ecOutOfMemory;
        TraceBuf.reset(buffer);
        TraceMax = static_cast<DWORD>(entries);
        TraceIndex = 0;
        TraceWrapped = false;
    }
    Tracing = true;
    return 0;
}

void TKivBaseDispatcher::AddTraceEntry(char kind, std::uint8_t byte)
{
    TCriticalSectionLock hold(StateLock);
    if (!TraceBuf) return;
    TraceBuf[2 * TraceIndex] = static_cast<std::uint8_t>(kind);
    TraceBuf[2 * TraceIndex + 1] = byte;
    if (++TraceIndex >= TraceMax) {
        TraceIndex = 0;
        TraceWrapped = true;
    }
}

void TKivBaseDispatcher::ClearTrace()
{
    TCriticalSectionLock hold(StateLock);
    TraceIndex = 0;
    TraceWrapped = false;
}

void TKivBaseDispatcher::AbortTrace()
{
    TCriticalSectionLock hold(StateLock);
    Tracing = false;
    TraceBuf.reset();
}

void TKivBaseDispatcher::ResumeTrace()
{
    TCriticalSectionLock hold(StateLock);
    if (TraceBuf) Tracing = true;
}

void TKivBaseDispatcher::PauseTrace()
{
    TCriticalSectionLock hold(StateLock);
    Tracing = false;
}

int TKivBaseDispatcher::DumpTrace(const std::string& fileName, bool hex, bool allHex)
{
    return WriteTraceFile(fileName, hex, allHex, false);
}

int TKivBaseDispatcher::AppendTrace(const std::string& fileName, bool hex, bool allHex)
{
    return WriteTraceFile(fileName, hex, allHex, true);
}

// Held under StateLock for the whole write: bytes written or read meanwhile
// wait for it. Only a complete write empties the trace; after a failed one
// the operator can dump the same record again elsewhere.
int TKivBaseDispatcher::WriteTraceFile(const std::string& fileName, bool hex, bool allHex,
                                       bool append)
{
    TCriticalSectionLock hold(StateLock);
    if (!TraceBuf || (!TraceWrapped && TraceIndex == 0)) return 0;

    TTextFile file;
    if (DWORD error = file.Open(fileName, append)) return -static_cast<int>(error);
    const DWORD start = TraceWrapped ? TraceIndex : 0;
    const DWORD count = TraceWrapped ? TraceMax : TraceIndex;
    int column = 0;
    std::uint8_t section = 0;
    for (DWORD k = 0; k < count; ++k) {
        DWORD index = (start + k) % TraceMax;
        std::uint8_t kind = TraceBuf[2 * index];
        if (k == 0 || kind != section) {
            if (k != 0) file.Write("\n\n");
            column = 0;
            section = kind;
            if (kind == 'T') {
                file.Write("Transmit: \n");
            } else if (kind == 'R') {
                file.Write("Receive: \n");
            } else {
                const char header[] = {'S', 'p', 'e', 'c', 'i', 'a', 'l', '-',
                                       static_cast<char>(kind), ':', ' ', '\n'};
                file.Write(std::string_view(header, sizeof header));
            }
        }
        detail::TByteText text;
        int width = detail::RenderByte(TraceBuf[2 * index + 1], hex, allHex, text);
        column += width;
        if (column > detail::LastColumn) {
            file.Write("\n");
            column = width;
        }
        file.Write(std::string_view(text, static_cast<std::size_t>(width)));
    }
    file.Write("\n");
    if (DWORD error = file.Close()) return -static_cast<int>(error);
    InitTrace(static_cast<int>(TraceMax));
    return 0;
}

} // namespace kivo

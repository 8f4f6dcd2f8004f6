// The dispatch log: time-stamped entries queued by the dispatcher and its
// clients, and the table they are written out as.

#include "serial/dispatch/base_dispatcher.h"

#include "framework/local_time.h"
#include "platform/clock.h"
#include "platform/text_file.h"
#include "platform/version.h"
#include "serial/dispatch/detail/byte_render.h"
#include "serial/dispatch/detail/log_format.h"
#include "serial/errors/error_codes.h"
#include "serial/errors/message_table.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace kivo {

using namespace kivo::win;

namespace detail {

// 12345 ms as "0012.345".
std::string FormatLogTime(std::uint32_t milliseconds)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%.7u", static_cast<unsigned>(milliseconds));
    std::string text = digits;
    text.insert(text.size() - 3, 1, '.');
    return text;
}

} // namespace detail

namespace {

constexpr const char* LibraryVersion = "1.0";
constexpr const char* CompilerName = "GNU C++ " __VERSION__;
// Data starts here; continuation lines are indented to it.
constexpr int DataColumn = 45;

constexpr const char* StatusKindNames[] = {"(Not active)",         "(Modem status)",
                                           "(Line status)",        "(Output buffer free)",
                                           "(Output buffer used)", "(Output sent)"};

std::string TableName(int base, int index, int count)
{
    if (index < 0 || index >= count) return {};
    return std::string(MessageTableText(base + index));
}

std::string HeaderLines(const std::string& deviceName)
{
    TLocalDateTime now = LocalNow();
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d, %02d:%02d:%02d", now.Day, now.Month,
                  now.Year % 100, now.Hour, now.Minute, now.Second);
    std::string text;
    text += std::string("KIVO ") + LibraryVersion + "\n";
    text += std::string("Compiler : ") + CompilerName + "\n";
    text += "Operating System : " + PlatformDescription() + "\n";
    text += "Device: " + deviceName + "\n";
    text += std::string("Date/time: ") + stamp + "\n";
    text += "Time      Type      SubType       Data      OtherData\n";
    text += "--------  --------  ------------  --------  ---------\n";
    return text;
}

} // namespace

namespace detail {

std::string FormatLogEntry(const TLogBuffer& entry, bool hex, bool allHex)
{
    std::string typeName = TableName(LogTypeNameBase, entry.EntryType, LogTypeCount);
    std::string subName =
        entry.SubType == 0 ? std::string() : TableName(LogSubtypeNameBase, entry.SubType, LogSubtypeCount);
    char fixed[96];
    std::snprintf(fixed, sizeof fixed, "%8s  %-8s  %-12s  %.8x  ",
                  detail::FormatLogTime(entry.Time).c_str(), typeName.c_str(), subName.c_str(),
                  static_cast<unsigned>(entry.OtherData));
    std::string line = fixed;

    const std::uint8_t* data = entry.Payload();
    const int length = entry.Size();
    if (data && length > 0) {
        if (entry.SubType == 15 && (entry.EntryType == 5 || entry.EntryType == 6)) {
            line += data[0] <= 5 ? StatusKindNames[data[0]] : StatusKindNames[0];
        } else {
            int column = DataColumn;
            const bool plain = allHex && entry.EntryType == 19;
            for (int i = 0; i < length; ++i) {
                detail::TByteText text;
                int width;
                if (plain) {
                    text[0] = static_cast<char>(data[i]);
                    text[1] = '\0';
                    width = 1;
                } else {
                    width = detail::RenderByte(data[i], hex, allHex, text);
                }
                column += width;
                if (column > detail::LastColumn) {
                    line += '\n';
                    line.append(DataColumn - 1, ' ');
                    column = width + DataColumn;
                }
                line.append(text, static_cast<std::size_t>(width));
            }
            if (entry.SubType == 4) {
                std::string names;
                for (int bit = 0; bit < 8; ++bit)
                    if (entry.OtherData & (1u << bit))
                        names += TableName(ModemStatusNameBase, bit, 8) + " ";
                while (!names.empty() && names.back() == ' ') names.pop_back();
                line += "(" + names + ")";
            }
        }
    } else if (entry.EntryType == 10) {
        line += '[';
        line += TableName(TelnetOptionNameBase, static_cast<int>(entry.OtherData),
                          TelnetOptionCount);
        line += ']';
    }
    line += '\n';
    return line;
}

} // namespace detail

void TKivBaseDispatcher::InitLog(DWORD limit)
{
    ClearLog();
    LogLimit = limit;
    Logging = true;
}

void TKivBaseDispatcher::ClearLog()
{
    LogQueue.Clear();
}

void TKivBaseDispatcher::AbortLog()
{
    Logging = false;
    ClearLog();
}

void TKivBaseDispatcher::ResumeLog()
{
    Logging = true;
}

void TKivBaseDispatcher::PauseLog()
{
    Logging = false;
}

void TKivBaseDispatcher::AddLogEntry(std::uint8_t type, std::uint16_t subType, DWORD otherData,
                                     const void* data, DWORD length)
{
    if (!Logging) return;
    // Out of memory for a diagnostic entry: the entry is dropped, the line
    // goes on.
    std::unique_ptr<TLogBuffer> entry;
    try {
        entry = std::make_unique<TLogBuffer>(type, subType, 0, otherData, length ? data : nullptr,
                                             static_cast<std::int32_t>(length));
    } catch (const std::exception&) {
        return;
    }
    std::lock_guard hold(LogPushLock);
    // Stamped in queue order: a thread that copied a long entry meanwhile
    // would otherwise queue an older time behind newer ones.
    entry->Time = timeGetTime() - LogClock;
    const DWORD limit = LogLimit;
    // Pops until the queue is within the limit; entries without data count
    // nothing, so this ends.
    while (limit != 0 && limit < LogQueue.QueuedBytes()) {
        if (!LogQueue.Pop()) break;
    }
    try {
        LogQueue.Push(std::move(entry));
    } catch (const std::exception&) {
        // Dropped likewise.
    }
}

int TKivBaseDispatcher::DumpLog(const std::string& fileName, bool hex, bool allHex)
{
    return WriteLogFile(fileName, hex, allHex, false);
}

int TKivBaseDispatcher::AppendLog(const std::string& fileName, bool hex, bool allHex)
{
    return WriteLogFile(fileName, hex, allHex, true);
}

int TKivBaseDispatcher::WriteLogFile(const std::string& fileName, bool hex, bool allHex,
                                     bool append)
{
    if (LogQueue.Count() == 0) return 0;
    TCriticalSectionLock hold(StateLock);
    TTextFile file;
    if (DWORD error = file.Open(fileName, append)) return -static_cast<int>(error);
    // The entries are kept until the file is complete. Those pushed during
    // the write stay for the next dump, so a busy line cannot keep it going.
    const std::size_t count = LogQueue.Count();
    std::vector<std::unique_ptr<TIOBuffer>> taken;
    try {
        taken.reserve(count);
    } catch (const std::bad_alloc&) {
        file.Close();
        return ecOutOfMemory;
    }
    file.Write(HeaderLines(DeviceName));
    for (std::size_t left = count; left != 0; --left) {
        std::unique_ptr<TIOBuffer> buffer = LogQueue.Pop();
        if (!buffer) break;
        if (auto* entry = dynamic_cast<TLogBuffer*>(buffer.get()))
            file.Write(detail::FormatLogEntry(*entry, hex, allHex));
        taken.push_back(std::move(buffer));
    }
    DWORD error = file.Close();
    if (error != 0) RequeueLogEntries(taken);
    return -static_cast<int>(error);
}

// Puts entries taken out by a failed dump back in front of those pushed since.
// Without the memory to take those out first, they end up before the older
// ones: out of order, but kept.
void TKivBaseDispatcher::RequeueLogEntries(std::vector<std::unique_ptr<TIOBuffer>>& taken)
{
    std::lock_guard hold(LogPushLock);
    const std::size_t later = LogQueue.Count();
    bool room = true;
    try {
        taken.reserve(taken.size() + later);
    } catch (const std::bad_alloc&) {
        room = false;
    }
    for (std::size_t left = room ? later : 0; left != 0; --left) {
        std::unique_ptr<TIOBuffer> buffer = LogQueue.Pop();
        if (!buffer) break;
        taken.push_back(std::move(buffer));
    }
    for (std::unique_ptr<TIOBuffer>& buffer : taken) {
        try {
            LogQueue.Push(std::move(buffer));
        } catch (const std::exception&) {
            // No memory for the queue's node: this entry is dropped, as a
            // new one would be.
        }
    }
}

} // namespace kivo

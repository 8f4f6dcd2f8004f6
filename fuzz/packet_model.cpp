// The yardstick framer: for every packet, search the stream from where the
// last one ended for the first complete start string, then for the first
// end that the settings allow, by brute force over positions.

#include "fuzz/data_packet_check.h"

#include <algorithm>

namespace kivo::fuzz {

namespace {

constexpr std::size_t Never = static_cast<std::size_t>(-1);

char Capital(char c)
{
    return 'a' <= c && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

struct TModelPattern {
    std::string Chars;
    std::vector<bool> Wild;
    bool IgnoreCase = false;

    std::size_t Size() const { return Chars.size(); }

    bool At(std::string_view stream, std::size_t from) const
    {
        if (from + Size() > stream.size()) return false;
        for (std::size_t j = 0; j < Size(); ++j) {
            if (Wild[j]) continue;
            char c = IgnoreCase ? Capital(stream[from + j]) : stream[from + j];
            if (c != Chars[j]) return false;
        }
        return true;
    }

    // The end of the first occurrence that starts at from or later.
    std::size_t FirstEnd(std::string_view stream, std::size_t from) const
    {
        for (std::size_t s = from; s + Size() <= stream.size(); ++s)
            if (At(stream, s)) return s + Size() - 1;
        return Never;
    }
};

TModelPattern Model(const std::string& text, bool ignoreCase)
{
    TModelPattern pattern;
    pattern.IgnoreCase = ignoreCase;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = ignoreCase ? Capital(text[i]) : text[i];
        if (c == '\\') {
            if (i + 1 == text.size()) break;
            ++i;
            pattern.Chars += ignoreCase ? Capital(text[i]) : text[i];
            pattern.Wild.push_back(false);
        } else {
            pattern.Chars += c;
            pattern.Wild.push_back(c == '?');
        }
    }
    return pattern;
}

int ArmError(const TPacketSettings& s)
{
    if (s.AnyDataStart) {
        if (!s.EndByString && !s.EndBySize) return -5503;
    } else {
        if (s.StartString.empty()) return -5501;
        if (s.EndBySize && static_cast<long>(s.StartString.size()) > s.PacketSize) return -5502;
        if (Model(s.StartString, s.IgnoreCase).Size() == 0) return -5501;
    }
    if (s.EndByString && Model(s.EndString, s.IgnoreCase).Size() == 0) return -5504;
    if (s.EndBySize && s.PacketSize <= 0) return -5505;
    return 0;
}

} // namespace

TPacketOutcome FramePackets(const TPacketSettings& s, std::string_view stream)
{
    TPacketOutcome outcome;
    outcome.ArmError = ArmError(s);
    if (outcome.ArmError != 0) return outcome;

    const TModelPattern start = Model(s.StartString, s.IgnoreCase);
    const TModelPattern end = Model(s.EndString, s.IgnoreCase);
    const std::size_t size = s.EndBySize ? static_cast<std::size_t>(s.PacketSize) : 0;

    auto deliver = [&](std::size_t first, std::size_t last, bool bySize) {
        std::string packet(stream.substr(first, last - first + 1));
        if (!s.IncludeStrings) {
            if (!s.AnyDataStart) packet.erase(0, std::min(start.Size(), packet.size()));
            if (!bySize) packet.erase(packet.size() - std::min(end.Size(), packet.size()));
        }
        outcome.Packets.push_back(std::move(packet));
    };

    std::size_t next = 0;
    while (next < stream.size()) {
        std::size_t first = next;
        std::size_t collectFrom = next;
        if (!s.AnyDataStart) {
            std::size_t last = start.FirstEnd(stream, next);
            if (last == Never) break;
            first = last + 1 - start.Size();
            if ((!s.EndByString && !s.EndBySize) || (s.EndBySize && start.Size() == size)) {
                deliver(first, last, true);
                next = last + 1;
                if (!s.AutoEnable) break;
                continue;
            }
            collectFrom = last + 1;
        }
        std::size_t bySize = s.EndBySize ? first + size - 1 : Never;
        std::size_t byString = s.EndByString ? end.FirstEnd(stream, collectFrom) : Never;
        std::size_t last = std::min(bySize, byString);
        if (last >= stream.size()) break;
        deliver(first, last, last == bySize);
        next = last + 1;
        if (!s.AutoEnable) break;
    }
    return outcome;
}

} // namespace kivo::fuzz

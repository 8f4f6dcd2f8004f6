// Framing of the program's price frames.

#include "tools/sign-sim/frame_parser.h"

namespace tarvio::sim {

void FrameParser::Feed(std::string_view bytes, std::vector<FrameEvent>& events)
{
    for (char c : bytes) {
        if (c == '@') {
            if (Collecting) Finish(FrameEvent::TKind::fkAbandoned, events);
            Collecting = true;
        }
        if (!Collecting) continue;
        if (Kept < KeepBytes) Buffer[Kept++] = c;
        ++Length;
        if (c == '*')
            Finish(Length == FrameLength ? FrameEvent::TKind::fkFrame
                                         : FrameEvent::TKind::fkWrongLength,
                   events);
    }
}

void FrameParser::Finish(FrameEvent::TKind kind, std::vector<FrameEvent>& events)
{
    FrameEvent event{kind, Length, std::string(Buffer.data(), Kept), {}};
    if (kind == FrameEvent::TKind::fkFrame)
        for (std::size_t i = 0; i < PriceCount; ++i)
            event.Prices[i] = event.Bytes.substr(1 + i * PriceWidth, PriceWidth);
    events.push_back(std::move(event));
    Kept = 0;
    Length = 0;
    Collecting = false;
}

} // namespace tarvio::sim

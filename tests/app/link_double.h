#pragma once
// How the window tests play the far side of the serial link: they answer the
// port's openings, limit its output room, count its openings and read what
// it sent. Today the port is the stand-in body and these reach its test
// hooks; when the real component arrives, only this file changes (to a
// pseudo-terminal behind a device directory).

#include "serial/port/com_port.h"

#include <functional>
#include <string>
#include <vector>

namespace tarvio::test {

// opener gets the device name and answers 0 or a negated system error.
inline void AnswerOpenings(kivo::TKivComPort& port,
                           std::function<int(const std::string&)> opener)
{
    port.DeviceOpener = std::move(opener);
}

inline void LimitOutputRoom(kivo::TKivComPort& port, std::size_t room)
{
    port.OutputRoom = room;
}

inline int Openings(const kivo::TKivComPort& port)
{
    return port.OpenCount;
}

inline const std::vector<std::string>& TextsSent(const kivo::TKivComPort& port)
{
    return port.SentTexts;
}

} // namespace tarvio::test

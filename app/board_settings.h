#pragma once
// The settings file: where it is, what the window
// reads from it at first show and what the save routine writes back. The
// file is read and written through the platform's profile functions, so
// everything the program does not write survives untouched.

#include "framework/exceptions.h"

#include <array>
#include <filesystem>
#include <optional>
#include <string>

namespace tarvio {

inline constexpr int RowCount = 8;
using TRowTexts = std::array<std::string, RowCount>;

// The settings as read at first show. Texts are UTF-8: a stored value that
// is not is read as Windows-1252.
struct BoardSettings {
    int PortNumber = 0;
    TRowTexts Prices;
    int HourIndex = 0;
    int MinuteIndex = 0;
    TRowTexts Captions;
    TRowTexts Colours;
};

// A write to the settings file that did not reach it.
class EIniFileException : public kivo::Exception {
public:
    using kivo::Exception::Exception;
};

// The executable's path with its extension replaced by ".ini" (appended
// when it has none); for an installed program, that name in the user's
// configuration folder.
std::string SettingsPathFor(const std::filesystem::path& executable);

// Missing file, section or key, or a malformed integer, gives the default.
BoardSettings ReadBoardSettings(const std::string& path);

// "Unable to read <path> (<reason>)" for a settings file that is there but
// cannot be read (no permission, a read error, larger than the profile
// functions take). It must not pass for a missing one: its defaults would go
// to the sign and, once saved, over the prices. Nothing for a missing file
// or one that is no regular file. While the user has no file, the same holds
// for the system-wide one read instead.
std::optional<std::string> SettingsReadFailure(const std::string& path);

// Writes Tarvio/P1 ... P8, then Hora_Muda/Hora and Minuto, each at once; a
// price in the code page of the stored value it replaces.
// The first write that fails raises EIniFileException "Unable to write to
// <path>" and the writes after it are not made.
void WriteBoardState(const std::string& path, const TRowTexts& prices, int hourIndex,
                     int minuteIndex);

} // namespace tarvio

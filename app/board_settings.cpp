// Reading and writing the settings file.

#include "app/board_settings.h"

#include "platform/profile.h"

namespace tarvio {

using namespace kivo::win;

namespace {

// Text values are read up to 2047 characters.
constexpr DWORD TextLimit = 2048;

std::string RowKey(const char* prefix, int row)
{
    return prefix + std::to_string(row + 1);
}

void Write(const std::string& path, const char* section, const std::string& key,
           const std::string& value)
{
    if (!WritePrivateProfileString(section, key, value, path))
        throw EIniFileException("Unable to write to " + path);
}

} // namespace

std::string SettingsPathFor(const std::filesystem::path& executable)
{
    std::filesystem::path path = executable;
    path.replace_extension(".ini");
    return path.string();
}

BoardSettings ReadBoardSettings(const std::string& path)
{
    BoardSettings settings;
    settings.PortNumber = GetPrivateProfileInt("Porta", "Port", 0, path);
    for (int row = 0; row < RowCount; ++row)
        settings.Prices[row] =
            GetPrivateProfileString("Tarvio", RowKey("P", row), "9999", TextLimit, path);
    settings.HourIndex = GetPrivateProfileInt("Hora_Muda", "Hora", 0, path);
    settings.MinuteIndex = GetPrivateProfileInt("Hora_Muda", "Minuto", 0, path);
    for (int row = 0; row < RowCount; ++row)
        settings.Captions[row] =
            GetPrivateProfileString("Texto", RowKey("Des", row), "Vazio", TextLimit, path);
    for (int row = 0; row < RowCount; ++row)
        settings.Colours[row] =
            GetPrivateProfileString("Cores", RowKey("Cor", row), "Vazio", TextLimit, path);
    return settings;
}

void WriteBoardState(const std::string& path, const TRowTexts& prices, int hourIndex,
                     int minuteIndex)
{
    for (int row = 0; row < RowCount; ++row) Write(path, "Tarvio", RowKey("P", row), prices[row]);
    Write(path, "Hora_Muda", "Hora", std::to_string(hourIndex));
    Write(path, "Hora_Muda", "Minuto", std::to_string(minuteIndex));
}

} // namespace tarvio

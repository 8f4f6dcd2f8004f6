#pragma once
// The C library's locale switched, for the life of the object, to a user's
// desktop locale built from the system's sources into a temporary folder:
// nothing is installed. The window's toolkit switches to the user's locale
// the same way at start.

#include "tests/support/env_guard.h"
#include "tests/support/temp_dir.h"

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace kivo::test {

class LocaleGuard
{
public:
    // source as in /usr/share/i18n/locales ("pt_PT"), charmap as in
    // /usr/share/i18n/charmaps ("ISO-8859-1").
    LocaleGuard(const std::string& source, const std::string& charmap)
    {
        const std::string name = source + "." + charmap;
        const std::filesystem::path built = Dir / name;
        // localedef warns (and says so in its status) about sources it
        // builds all the same: the built folder is what counts.
        const std::string command = "localedef -i '" + source + "' -f '" + charmap + "' '" +
                                    built.string() + "' >/dev/null 2>&1";
        (void)std::system(command.c_str());
        if (!std::filesystem::exists(built / "LC_CTYPE")) {
            Missing = "cannot build " + name + " here (localedef or its sources are missing)";
            return;
        }
        Path = std::make_unique<EnvGuard>("LOCPATH", Dir.Path().string());
        Previous = std::setlocale(LC_ALL, nullptr);
        if (!std::setlocale(LC_ALL, name.c_str())) Missing = "the C library refuses " + name;
    }
    ~LocaleGuard()
    {
        if (!Previous.empty()) std::setlocale(LC_ALL, Previous.c_str());
    }
    LocaleGuard(const LocaleGuard&) = delete;
    LocaleGuard& operator=(const LocaleGuard&) = delete;

    // Empty once the locale is in force; else why it is not.
    const std::string& Unavailable() const noexcept { return Missing; }

private:
    TempDir Dir{"kivo-locale"};
    std::unique_ptr<EnvGuard> Path;
    std::string Previous;
    std::string Missing;
};

}  // namespace kivo::test

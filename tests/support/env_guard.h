#pragma once
// An environment variable set for the life of the object, then put back as
// it was (or removed).

#include <cstdlib>
#include <optional>
#include <string>

namespace kivo::test {

class EnvGuard {
public:
    EnvGuard(const char* name, const std::string& value) : Name(name)
    {
        if (const char* old = std::getenv(name)) Old = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~EnvGuard()
    {
        if (Old) ::setenv(Name.c_str(), Old->c_str(), 1);
        else ::unsetenv(Name.c_str());
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string Name;
    std::optional<std::string> Old;
};

} // namespace kivo::test

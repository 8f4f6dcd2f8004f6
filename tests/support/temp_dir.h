#pragma once
// A fresh directory under the system's temporary folder, removed with all it
// holds when the object goes.

#include <filesystem>
#include <string>

namespace kivo::test {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kivo-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const noexcept { return Root; }
    std::filesystem::path operator/(const std::string& name) const { return Root / name; }

    // Writes text to name inside the directory, byte for byte.
    void Write(const std::string& name, const std::string& text) const;
    // The whole content of name, or "" when it does not exist.
    std::string Read(const std::string& name) const;

private:
    std::filesystem::path Root;
};

} // namespace kivo::test

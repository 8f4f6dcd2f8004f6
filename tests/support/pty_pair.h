#pragma once
// A pseudo-terminal for tests: the controller end stays here as the far end
// of the line, the subsidiary end's path is what the code under test opens,
// usually through a comN link in a temporary device directory.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

namespace kivo::test {

class PtyPair {
public:
    PtyPair();  // raw mode on both ends, controller non-blocking
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int ControllerFd() const noexcept { return Controller; }
    const std::string& SubsidiaryPath() const noexcept { return Subsidiary; }

    // Links dir/name to the subsidiary end.
    void LinkAs(const std::filesystem::path& dir, const std::string& name) const;

    // Writes every byte of data to the controller end.
    void Write(const std::string& data) const;
    // As Write, giving up when the far side has not taken everything within
    // the time-out; false then.
    bool WriteWithin(const std::string& data, std::chrono::milliseconds timeout) const;
    // Reads until count bytes have arrived or the time-out passes; returns
    // what arrived.
    std::string ReadExactly(std::size_t count, std::chrono::milliseconds timeout) const;
    // Whatever arrives within the time-out after the first byte stops coming.
    std::string ReadAvailable(std::chrono::milliseconds quiet) const;

    // Closes the controller end: the far end vanishes.
    void CloseController();

private:
    int Controller = -1;
    std::string Subsidiary;
};

} // namespace kivo::test

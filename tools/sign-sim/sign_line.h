#pragma once
// The sign's end of the serial line: either a pseudo-terminal whose far end is
// linked into a device directory as comN, or a real port. It owns the file
// descriptors and the link, and removes the link when it goes (only if the
// link still points at its own terminal). Used from the main loop only.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvio::sim {

class LineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SignLine {
public:
    // Throws LineError when the terminal, the directory or the link cannot be made.
    static std::unique_ptr<SignLine> CreatePseudoTerminal(const std::filesystem::path& deviceDir,
                                                          int com);
    // 9600 8N1 raw, no flow control, held exclusively; throws LineError.
    static std::unique_ptr<SignLine> OpenPort(const std::string& path);

    ~SignLine();
    SignLine(const SignLine&) = delete;
    SignLine& operator=(const SignLine&) = delete;

    int PollFd() const noexcept { return Fd; }
    // The path the program opens: the comN link, or the port.
    const std::string& Where() const noexcept { return WherePath; }
    const std::string& Device() const noexcept { return DevicePath; }

    // Non-blocking: 0 when nothing is waiting. Throws LineError on a hang-up.
    std::size_t ReadSome(char* buffer, std::size_t capacity);
    // Non-blocking: what the line took, 0 when it is full.
    std::size_t WriteSome(std::string_view bytes);
    // Drops what we sent that nobody has read yet, and says how much that was.
    // A pseudo-terminal keeps bytes for a program that is not listening; a real
    // line would have lost them. A real port keeps nothing here: always 0.
    std::size_t DiscardUnread();

    // The rate of the program's end ("19200 baud"), when it is not the sign's
    // 9600: bytes cross a pseudo-terminal at any rate, where a real sign would
    // read garbage. (The pty itself keeps 8 bits without parity.) Nothing on a
    // real port, whose far end garbles them by itself.
    std::optional<std::string> ForeignRate() const;

    // Whether the far end holds our DSR up (its DTR through a null-modem
    // cable); nothing when the line has no modem signals (a bare pty).
    std::optional<bool> FarEndReady() const;
    // Holds a break on the line for a few character times. Throws LineError
    // when the line cannot send one.
    void SendBreak();

private:
    SignLine() = default;

    int Fd = -1;
    // The pseudo-terminal's far end, held open so that the program's close
    // and reopen before every frame never hangs the line up on our side.
    int HeldSubsidiary = -1;
    std::filesystem::path Link;
    std::string WherePath;
    std::string DevicePath;
};

} // namespace tarvio::sim

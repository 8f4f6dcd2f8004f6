#pragma once
// The far side of the serial link for the window tests: pseudo-terminals
// behind comN links in a device directory that the whole test process uses
// (KIVO_DEVICE_DIR, set once before any stack thread exists). A test attaches
// the ports it wants to exist, holds one locked to play "in use", leaves one
// out to play "no such port", and reads the frames the sign would get.

#include "framework/event.h"
#include "platform/window.h"
#include "serial/port/com_port.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tarvio::test {

inline const kivo::test::TempDir& DeviceDir()
{
    static kivo::test::TempDir dir("tarvio-devices");
    static const bool exported = ::setenv("KIVO_DEVICE_DIR", dir.Path().c_str(), 1) == 0;
    (void)exported;
    return dir;
}

class TSignLine {
public:
    TSignLine() { DeviceDir(); }
    ~TSignLine()
    {
        for (auto& [number, fd] : Holders) ::close(fd);
        for (auto& [number, pty] : Ports) std::filesystem::remove(DeviceDir() / LinkName(number));
    }

    TSignLine(const TSignLine&) = delete;
    TSignLine& operator=(const TSignLine&) = delete;

    // COMn exists from now on, as a fresh line.
    void Attach(int number)
    {
        Detach(number);
        Ports.erase(number);
        auto pty = std::make_unique<kivo::test::PtyPair>();
        pty->LinkAs(DeviceDir().Path(), LinkName(number));
        Ports[number] = std::move(pty);
    }

    // COMn no longer exists for a new opening; what it received stays
    // readable, and the line stays up for a port that still holds it.
    void Detach(int number)
    {
        Release(number);
        std::filesystem::remove(DeviceDir() / LinkName(number));
    }

    // Another holder keeps COMn locked: opening it finds the port in use.
    bool Hold(int number)
    {
        auto port = Ports.find(number);
        if (port == Ports.end()) return false;
        int fd = ::open(port->second->SubsidiaryPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return false;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return false;
        }
        Holders[number] = fd;
        return true;
    }

    // Another program has taken COMn's name: a fresh line behind it, held
    // locked. The old line stays up for a port that still holds it, and
    // Frames reads the new one.
    bool TakeOver(int number)
    {
        auto port = Ports.find(number);
        if (port != Ports.end()) Replaced.push_back(std::move(port->second));
        Attach(number);
        return Hold(number);
    }

    void Release(int number)
    {
        if (auto holder = Holders.find(number); holder != Holders.end()) {
            ::close(holder->second);
            Holders.erase(holder);
        }
    }

    // What the window's loop would serve between two looks of a wait.
    static void ServeMessages()
    {
        for (int i = 0; i < 100 && kivo::win::ProcessOneMessage(); ++i) {
        }
    }

    // The frames COMn has received so far, each up to its "*": waits until
    // there are at least atLeast of them (or the deadline), then for the
    // line to stay quiet a moment, so that a frame too many shows as well.
    // Messages are served meanwhile, as the window's loop would: a frame
    // sent while the dispatch thread still ends a delivery is held until
    // the deferred close it met is finished there.
    const std::vector<std::string>& Frames(int number, std::size_t atLeast = 0)
    {
        kivo::test::PtyPair& pty = *Ports.at(number);
        kivo::test::WaitUntil(
            std::chrono::seconds(5),
            [&] {
                Take(number, pty.ReadAvailable(std::chrono::milliseconds(1)));
                return Received[number].size() >= atLeast;
            },
            ServeMessages);
        Take(number, pty.ReadAvailable(std::chrono::milliseconds(60)));
        return Received[number];
    }

    // Bytes the sign sends on COMn.
    void SendFromSign(int number, const std::string& bytes) { Ports.at(number)->Write(bytes); }

    // Counts the port's successful openings from now on.
    void CountOpenings(kivo::TKivComPort& port)
    {
        port.OnPortOpen = kivo::TNotifyEvent::FromFunction([this](kivo::TObject*) { ++Opened; });
    }
    int Openings() const { return Opened; }

    // The output buffer of every later opening holds only room bytes.
    static void LimitOutputRoom(kivo::TKivComPort& port, int room)
    {
        port.SetOutSize(static_cast<kivo::win::WORD>(room));
    }

private:
    static std::string LinkName(int number) { return "com" + std::to_string(number); }

    void Take(int number, const std::string& bytes)
    {
        std::string& partial = Partial[number];
        for (char c : bytes) {
            partial += c;
            if (c != '*') continue;
            Received[number].push_back(partial);
            partial.clear();
        }
    }

    std::map<int, std::unique_ptr<kivo::test::PtyPair>> Ports;
    std::vector<std::unique_ptr<kivo::test::PtyPair>> Replaced;
    std::map<int, int> Holders;
    std::map<int, std::vector<std::string>> Received;
    std::map<int, std::string> Partial;
    int Opened = 0;
};

} // namespace tarvio::test

#pragma once
// A second process that opens a path and holds it locked, as another program
// holding the port does, until the object goes. The child only opens, locks
// and reads its pipe to the end, so forking from a threaded test is safe.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace kivo::test {

class PortHolder {
public:
    explicit PortHolder(const std::string& path)
    {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
        Pid = ::fork();
        if (Pid == 0) {
            int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
            ::close(release[1]);
            if (::write(ready[1], &ok, 1) == 1)
                while (::read(release[0], &ok, 1) > 0) {
                }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        Release = release[1];
        char ok = '0';
        Holding = Pid > 0 && ::read(ready[0], &ok, 1) == 1 && ok == '1';
        ::close(ready[0]);
    }
    ~PortHolder()
    {
        ::close(Release);  // the child leaves at the end of its pipe
        if (Pid > 0) ::waitpid(Pid, nullptr, 0);
    }
    bool Holding = false;

private:
    pid_t Pid = -1;
    int Release = -1;
};

} // namespace kivo::test

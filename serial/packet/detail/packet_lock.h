#pragma once
// The lock of one packet manager and its packets. The dispatch thread holds
// it while it collects and matches; the application thread holds it while it
// changes a packet or the manager. Whoever holds it may let go of every
// level at once for a wait on the other thread (the synchronised call of a
// packet event), so the other thread can take it meanwhile; nothing else ever
// waits on the other thread while holding it.

#include <mutex>

namespace kivo::detail {

class TPacketLock {
public:
    void Enter()
    {
        Mutex.lock();
        ++Depth;
    }
    void Leave()
    {
        --Depth;
        Mutex.unlock();
    }
    // Only for the holder: leaves every level and says how many there were.
    int LeaveAll()
    {
        int depth = Depth;
        for (int i = 0; i < depth; ++i) Leave();
        return depth;
    }
    void EnterAgain(int depth)
    {
        for (int i = 0; i < depth; ++i) Enter();
    }

private:
    std::recursive_mutex Mutex;
    int Depth = 0;  // changed only by the holder
};

class TPacketLockHold {
public:
    explicit TPacketLockHold(TPacketLock& lock) : Lock(lock) { Lock.Enter(); }
    ~TPacketLockHold() { Lock.Leave(); }
    TPacketLockHold(const TPacketLockHold&) = delete;
    TPacketLockHold& operator=(const TPacketLockHold&) = delete;

private:
    TPacketLock& Lock;
};

// Lets go of a held lock for the scope, then takes it back as deep as before.
class TPacketLockRelease {
public:
    explicit TPacketLockRelease(TPacketLock& lock) : Lock(lock), Depth(lock.LeaveAll()) {}
    ~TPacketLockRelease() { Lock.EnterAgain(Depth); }
    TPacketLockRelease(const TPacketLockRelease&) = delete;
    TPacketLockRelease& operator=(const TPacketLockRelease&) = delete;

private:
    TPacketLock& Lock;
    int Depth;
};

} // namespace kivo::detail

// CDriverUseSync: a thread that follows an ASIO host taking and giving back the driver (the
// driver-held mutex and the driver-in-use event), and has the stored DSD rate fixed up each
// time no host holds the driver.
#pragma once
#include <windows.h>

// What the sync thread calls while it owns the driver-held mutex (no host holds the driver).
// Runs on the sync thread; the implementer takes the settings mutex itself.
class CDriverUseTarget {
public:
    virtual void FixDsdRate() = 0;

protected:
    ~CDriverUseTarget() = default;
};

class CDriverUseSync {
public:
    CDriverUseSync();
    ~CDriverUseSync();
    CDriverUseSync(const CDriverUseSync &) = delete;
    CDriverUseSync &operator=(const CDriverUseSync &) = delete;

    // Creates or opens the driver-in-use event and the driver-held mutex, then starts the
    // thread. FALSE for a null target or when any of it fails (everything made is closed).
    BOOL Start(CDriverUseTarget *Target);
    // Ends the thread and closes every handle. Safe before Start and twice.
    void Stop();

    // TRUE while a host holds the driver (the in-use event is set; tested without waiting).
    // Without the event (Start failed or not called) the driver is never in use.
    BOOL IsDriverInUse() const;

private:
    static DWORD WINAPI ThreadProc(LPVOID Context);
    DWORD Run();

    CDriverUseTarget *m_pTarget;
    HANDLE m_hThread;
    HANDLE m_hStopEvent;
    HANDLE m_hHeldMutex;
    HANDLE m_hInUseEvent;
};

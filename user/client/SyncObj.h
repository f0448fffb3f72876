// Named synchronisation objects shared by the ASIO driver and the control panel: the settings
// mutex helpers (SYNCOBJ), the driver's settings events (SYNCOBJ_ASIO), and scope locks for
// mutexes and critical sections.
#pragma once
#include <windows.h>

class SYNCOBJ {
public:
    // Closes the handle in *slot, then creates or opens the named mutex, unowned, with a null
    // DACL (anyone may open it) and an inheritable handle. FALSE when that fails.
    static BOOL CreateNamedMutex(HANDLE *slot, LPCWSTR name);

    // Waits for the mutex; TRUE when the caller owns it, also when it was abandoned.
    static BOOL WaitMutex(HANDLE mutex, DWORD milliseconds);
};

class SYNCOBJ_ASIO : public SYNCOBJ {
public:
    SYNCOBJ_ASIO();
    ~SYNCOBJ_ASIO();
    SYNCOBJ_ASIO(const SYNCOBJ_ASIO &) = delete;
    SYNCOBJ_ASIO &operator=(const SYNCOBJ_ASIO &) = delete;

    // Creates the driver-presence marker (manual reset), the settings-changed event (auto
    // reset) and the unnamed stop event (auto reset), all off. Handles held before are closed
    // first. On a failure closes what it made and returns FALSE.
    BOOL Create();
    void Close();
    // Copies the three handles only when all three exist.
    BOOL GetHandles(HANDLE *marker, HANDLE *change, HANDLE *stop) const;

    // Sets the settings-changed event when a driver's marker exists; does nothing otherwise.
    static void NotifySettingsChanged();

protected:
    HANDLE m_hMarkerEvent;
    HANDLE m_hChangeEvent;
    HANDLE m_hStopEvent;
};

// Owns a mutex for a scope. A holder that could not own it (null or closed handle) goes on
// without the lock and releases nothing.
class CMutexLock {
public:
    explicit CMutexLock(HANDLE mutex);
    ~CMutexLock();
    CMutexLock(const CMutexLock &) = delete;
    CMutexLock &operator=(const CMutexLock &) = delete;
    BOOL IsOwned() const { return m_bOwned; }

private:
    HANDLE m_hMutex;
    BOOL m_bOwned;
};

// A critical section with the flag that tells whether it was initialised, so that deleting it
// twice, or one never initialised, is harmless.
class CCritSec {
public:
    CCritSec();
    ~CCritSec();
    CCritSec(const CCritSec &) = delete;
    CCritSec &operator=(const CCritSec &) = delete;
    void Init();
    void Delete();
    BOOL IsInitialized() const { return m_bInitialized != 0; }
    CRITICAL_SECTION *Get() { return m_bInitialized ? &m_cs : nullptr; }

private:
    CRITICAL_SECTION m_cs;
    BYTE m_bInitialized;
};

// Enters a critical section for a scope; a null section is not entered and not left.
class CCritSecLock {
public:
    explicit CCritSecLock(CRITICAL_SECTION *section);
    explicit CCritSecLock(CCritSec &section) : CCritSecLock(section.Get()) {}
    ~CCritSecLock();
    CCritSecLock(const CCritSecLock &) = delete;
    CCritSecLock &operator=(const CCritSecLock &) = delete;

private:
    CRITICAL_SECTION *m_pSection;
};

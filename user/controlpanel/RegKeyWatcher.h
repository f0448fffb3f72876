// CRegKeyWatcher: threads that wait for change notifications of the per-user settings key and
// call OnKeyChanged after each one; CRegistryNotify, the control panel's watcher, which turns a
// change into a WM_APP message to its dialog.
#pragma once
#include <windows.h>
#include <atomic>
#include <vector>

class CRegKeyWatcher {
public:
    CRegKeyWatcher();
    // Stops the watch threads (stop event set, every thread joined) before anything is freed.
    virtual ~CRegKeyWatcher();
    CRegKeyWatcher(const CRegKeyWatcher &) = delete;
    CRegKeyWatcher &operator=(const CRegKeyWatcher &) = delete;

    // Starts one watch thread per processor package plus one (package count taken as 1..16)
    // and returns once each has asked for its first notification. Returns 0, or the Win32
    // error of the event or thread that could not be created; then no thread runs.
    DWORD Start();
    // Sets the stop event and waits for every watch thread; the threads' handles are closed.
    // Harmless before Start and when called twice.
    void Stop();

    // Called on a watch thread after each change notification. Empty here.
    virtual void OnKeyChanged();

    DWORD GetProcessorPackages() const { return m_ProcessorPackages; }
    DWORD GetThreadCount() const { return (DWORD)m_Threads.size(); }

private:
    static DWORD WINAPI WatchThreadProc(LPVOID Context);
    DWORD Watch();
    void CountProcessorPackages();
    void CloseThreads();

    HANDLE m_hStopEvent;
    HKEY m_hRootKey;
    LPWSTR m_pKeyPath;
    std::vector<HANDLE> m_Threads;
    DWORD m_ProcessorPackages;
    HANDLE m_hArmedEvent;
    std::atomic<LONG> m_PendingArm;
};

class CRegistryNotify : public CRegKeyWatcher {
public:
    CRegistryNotify();
    ~CRegistryNotify() override;

    // The window that receives WM_APP (wParam 0) after each change; null posts nothing.
    void SetTarget(HWND Target) { m_hTarget.store(Target); }
    void OnKeyChanged() override;

private:
    std::atomic<HWND> m_hTarget;
};

// Writes one diagnostic line to the debugger, formatted into 1024 characters.
void CplDebugPrint(LPCWSTR Format, ...);

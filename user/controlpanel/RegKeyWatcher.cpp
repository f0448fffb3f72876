// The settings-key watcher: processor-package count, watch threads on registry change
// notifications, and the control panel's subclass that posts WM_APP to its dialog.
#include "RegKeyWatcher.h"
#include "NamedObjects.h"
#include <cstdarg>
#include <cwchar>
#include <cstring>
#include <initializer_list>

namespace {

const DWORD MaxWatchPackages = 16;
const DWORD DebugTextChars = 1024;
const DWORD WatchFilter =
    REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

DWORD CountSetBits(ULONG_PTR Mask)
{
    DWORD count = 0;
    for (; Mask != 0; Mask &= Mask - 1) {
        ++count;
    }
    return count;
}

} // namespace

void CplDebugPrint(LPCWSTR Format, ...)
{
    WCHAR text[DebugTextChars];
    va_list arguments;
    va_start(arguments, Format);
    const int written = std::vswprintf(text, DebugTextChars, Format, arguments);
    va_end(arguments);
    if (written < 0) {
        text[DebugTextChars - 1] = L'\0';
    }
    OutputDebugStringW(text);
}

CRegKeyWatcher::CRegKeyWatcher()
    : m_hStopEvent(nullptr), m_hRootKey(HKEY_CURRENT_USER), m_pKeyPath(nullptr), m_ProcessorPackages(0),
      m_hArmedEvent(nullptr), m_PendingArm(0)
{
    const size_t chars = std::wcslen(OVM_SETTINGS_KEY) + 1;
    m_pKeyPath = new WCHAR[chars];
    std::wmemcpy(m_pKeyPath, OVM_SETTINGS_KEY, chars);
    CountProcessorPackages();
}

CRegKeyWatcher::~CRegKeyWatcher()
{
    // A watch thread still running would read this object after it is freed.
    Stop();
    for (HANDLE *slot : {&m_hStopEvent, &m_hArmedEvent}) {
        if (*slot != nullptr) {
            CloseHandle(*slot);
            *slot = nullptr;
        }
    }
    delete[] m_pKeyPath;
}

void CRegKeyWatcher::OnKeyChanged() {}

void CRegKeyWatcher::CountProcessorPackages()
{
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    const auto query = kernel32 == nullptr ? nullptr
                                           : reinterpret_cast<LPFN_GLPI>(reinterpret_cast<void (*)()>(
                                                 GetProcAddress(kernel32, "GetLogicalProcessorInformation")));
    if (query == nullptr) {
        CplDebugPrint(L"\nGetLogicalProcessorInformation is not supported.\n");
        return;
    }
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> records;
    DWORD bytes = 0;
    for (;;) {
        if (query(records.empty() ? nullptr : records.data(), &bytes)) {
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            CplDebugPrint(L"\nError %d\n", (int)error);
            return;
        }
        const size_t count = (bytes + sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION) - 1) /
                             sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION);
        try {
            records.assign(count == 0 ? 1 : count, SYSTEM_LOGICAL_PROCESSOR_INFORMATION{});
        } catch (...) {
            CplDebugPrint(L"\nError: Allocation failure\n");
            return;
        }
        bytes = (DWORD)(records.size() * sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    }
    DWORD nodes = 0;
    DWORD packages = 0;
    DWORD cores = 0;
    DWORD logical = 0;
    DWORD caches[3] = {};
    const size_t returned = bytes / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION);
    for (size_t i = 0; i < returned && i < records.size(); ++i) {
        const SYSTEM_LOGICAL_PROCESSOR_INFORMATION &record = records[i];
        switch (record.Relationship) {
        case RelationProcessorCore:
            ++cores;
            logical += CountSetBits(record.ProcessorMask);
            break;
        case RelationNumaNode:
            ++nodes;
            break;
        case RelationCache:
            if (record.Cache.Level >= 1 && record.Cache.Level <= 3) {
                ++caches[record.Cache.Level - 1];
            }
            break;
        case RelationProcessorPackage:
            ++packages;
            break;
        default:
            CplDebugPrint(L"\nError: Unsupported LOGICAL_PROCESSOR_RELATIONSHIP value.\n");
            break;
        }
    }
    CplDebugPrint(L"\nGetLogicalProcessorInformation results:\n");
    CplDebugPrint(L"Number of NUMA nodes: %d\n", (int)nodes);
    CplDebugPrint(L"Number of physical processor packages: %d\n", (int)packages);
    CplDebugPrint(L"Number of processor cores: %d\n", (int)cores);
    CplDebugPrint(L"Number of logical processors: %d\n", (int)logical);
    CplDebugPrint(L"Number of processor L1/L2/L3 caches: %d/%d/%d\n", (int)caches[0], (int)caches[1],
                  (int)caches[2]);
    m_ProcessorPackages = packages;
}

DWORD CRegKeyWatcher::Start()
{
    DWORD packages = m_ProcessorPackages;
    if (packages == 0) {
        packages = 1;
    } else if (packages > MaxWatchPackages) {
        packages = MaxWatchPackages;
    }
    if (!m_Threads.empty()) {
        return ERROR_INVALID_FUNCTION;
    }
    if (m_hStopEvent == nullptr) {
        m_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_hStopEvent == nullptr) {
            return GetLastError();
        }
    } else {
        ResetEvent(m_hStopEvent);
    }
    if (m_hArmedEvent == nullptr) {
        m_hArmedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_hArmedEvent == nullptr) {
            return GetLastError();
        }
    }
    for (DWORD i = 0; i < packages + 1; ++i) {
        const HANDLE thread = CreateThread(nullptr, 0, WatchThreadProc, this, CREATE_SUSPENDED, nullptr);
        if (thread == nullptr) {
            const DWORD error = GetLastError();
            CplDebugPrint(L"! CreateThread failed.\n");
            // The threads made so far never ran: they start only to see the stop event.
            SetEvent(m_hStopEvent);
            for (HANDLE made : m_Threads) {
                ResumeThread(made);
            }
            CloseThreads();
            return error;
        }
        m_Threads.push_back(thread);
    }
    m_PendingArm.store((LONG)m_Threads.size());
    ResetEvent(m_hArmedEvent);
    for (HANDLE thread : m_Threads) {
        CplDebugPrint(L"start: %p\n", thread);
        ResumeThread(thread);
    }
    // Every thread has asked for its first notification (or given up) before Start returns,
    // so that a change the owner makes after Start is always reported.
    WaitForSingleObject(m_hArmedEvent, INFINITE);
    return ERROR_SUCCESS;
}

void CRegKeyWatcher::Stop()
{
    if (m_Threads.empty()) {
        return;
    }
    SetEvent(m_hStopEvent);
    CloseThreads();
}

void CRegKeyWatcher::CloseThreads()
{
    for (HANDLE thread : m_Threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    m_Threads.clear();
}

DWORD WINAPI CRegKeyWatcher::WatchThreadProc(LPVOID Context)
{
    auto *watcher = static_cast<CRegKeyWatcher *>(Context);
    if (watcher == nullptr) {
        CplDebugPrint(L"! invalid parameter\n");
        return ERROR_INVALID_PARAMETER;
    }
    return watcher->Watch();
}

DWORD CRegKeyWatcher::Watch()
{
    BOOL armedReported = FALSE;
    const auto reportArmed = [this, &armedReported] {
        if (!armedReported) {
            armedReported = TRUE;
            if (m_PendingArm.fetch_sub(1) == 1) {
                SetEvent(m_hArmedEvent);
            }
        }
    };
    const HANDLE notification = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (notification == nullptr) {
        const DWORD error = GetLastError();
        reportArmed();
        return error;
    }
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(m_hRootKey, m_pKeyPath, 0, KEY_NOTIFY, &key);
    if (result != ERROR_SUCCESS) {
        CplDebugPrint(L"Error in RegOpenKeyEx (%d).\n", (int)result);
        key = nullptr;
    } else {
        result = RegNotifyChangeKeyValue(key, TRUE, WatchFilter, notification, TRUE);
    }
    reportArmed();
    while (key != nullptr) {
        if (result != ERROR_SUCCESS) {
            CplDebugPrint(L"Error in RegNotifyChangeKeyValue (%d).\n", (int)result);
            RegCloseKey(key);
            break;
        }
        const HANDLE waits[2] = {m_hStopEvent, notification};
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0 + 1) {
            // Armed again before the owner hears of the change: a change made while the owner
            // reads the key is then reported too, never lost between two notifications.
            result = RegNotifyChangeKeyValue(key, TRUE, WatchFilter, notification, TRUE);
            OnKeyChanged();
            continue;
        }
        if (wait == WAIT_OBJECT_0) {
            // Closing the key completes the pending notification; it is consumed before the
            // event is closed.
            RegCloseKey(key);
            WaitForSingleObject(notification, INFINITE);
        } else {
            result = (LONG)GetLastError();
            CplDebugPrint(L"Error in WaitForMultipleObjects (%d).\n", (int)result);
            RegCloseKey(key);
        }
        key = nullptr;
    }
    CloseHandle(notification);
    CplDebugPrint(L"end\n");
    return (DWORD)result;
}

CRegistryNotify::CRegistryNotify() : m_hTarget(nullptr) {}

CRegistryNotify::~CRegistryNotify()
{
    // The watch threads call OnKeyChanged of this subclass: they end before it is gone.
    Stop();
}

void CRegistryNotify::OnKeyChanged()
{
    const HWND target = m_hTarget.load();
    if (target != nullptr) {
        PostMessageW(target, WM_APP, 0, 0);
    }
}

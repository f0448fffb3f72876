// The settings mutex helpers, the driver's settings events and the scope locks.
#include "SyncObj.h"
#include "NamedObjects.h"
#include <initializer_list>

BOOL SYNCOBJ::CreateNamedMutex(HANDLE *slot, LPCWSTR name)
{
    if (slot == nullptr) {
        return FALSE;
    }
    if (*slot != nullptr) {
        CloseHandle(*slot);
        *slot = nullptr;
    }
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        return FALSE;
    }
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = TRUE;
    *slot = CreateMutexW(&attributes, FALSE, name);
    return *slot != nullptr;
}

BOOL SYNCOBJ::WaitMutex(HANDLE mutex, DWORD milliseconds)
{
    const DWORD result = WaitForSingleObject(mutex, milliseconds);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

SYNCOBJ_ASIO::SYNCOBJ_ASIO() : m_hMarkerEvent(nullptr), m_hChangeEvent(nullptr), m_hStopEvent(nullptr) {}

SYNCOBJ_ASIO::~SYNCOBJ_ASIO()
{
    Close();
}

BOOL SYNCOBJ_ASIO::Create()
{
    Close();
    m_hMarkerEvent = CreateEventW(nullptr, TRUE, FALSE, OVM_DRIVER_MARKER_EVENT_NAME);
    if (m_hMarkerEvent != nullptr) {
        m_hChangeEvent = CreateEventW(nullptr, FALSE, FALSE, OVM_SETTINGS_CHANGED_EVENT_NAME);
    }
    if (m_hChangeEvent != nullptr) {
        m_hStopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    if (m_hStopEvent == nullptr) {
        Close();
        return FALSE;
    }
    return TRUE;
}

void SYNCOBJ_ASIO::Close()
{
    for (HANDLE *slot : {&m_hChangeEvent, &m_hStopEvent, &m_hMarkerEvent}) {
        if (*slot != nullptr) {
            CloseHandle(*slot);
            *slot = nullptr;
        }
    }
}

BOOL SYNCOBJ_ASIO::GetHandles(HANDLE *marker, HANDLE *change, HANDLE *stop) const
{
    if (m_hMarkerEvent == nullptr || m_hChangeEvent == nullptr || m_hStopEvent == nullptr || marker == nullptr ||
        change == nullptr || stop == nullptr) {
        return FALSE;
    }
    *marker = m_hMarkerEvent;
    *change = m_hChangeEvent;
    *stop = m_hStopEvent;
    return TRUE;
}

void SYNCOBJ_ASIO::NotifySettingsChanged()
{
    HANDLE marker = OpenEventW(SYNCHRONIZE, FALSE, OVM_DRIVER_MARKER_EVENT_NAME);
    if (marker == nullptr) {
        return;
    }
    CloseHandle(marker);
    HANDLE change = OpenEventW(EVENT_MODIFY_STATE, FALSE, OVM_SETTINGS_CHANGED_EVENT_NAME);
    if (change != nullptr) {
        SetEvent(change);
        CloseHandle(change);
    }
}

CMutexLock::CMutexLock(HANDLE mutex) : m_hMutex(mutex), m_bOwned(FALSE)
{
    if (mutex != nullptr) {
        m_bOwned = SYNCOBJ::WaitMutex(mutex, INFINITE);
    }
}

CMutexLock::~CMutexLock()
{
    if (m_bOwned) {
        ReleaseMutex(m_hMutex);
    }
}

CCritSec::CCritSec() : m_cs(), m_bInitialized(0) {}

CCritSec::~CCritSec()
{
    Delete();
}

void CCritSec::Init()
{
    if (!m_bInitialized) {
        InitializeCriticalSection(&m_cs);
        m_bInitialized = 1;
    }
}

void CCritSec::Delete()
{
    if (m_bInitialized) {
        DeleteCriticalSection(&m_cs);
        m_bInitialized = 0;
    }
}

CCritSecLock::CCritSecLock(CRITICAL_SECTION *section) : m_pSection(section)
{
    if (section != nullptr) {
        EnterCriticalSection(section);
    }
}

CCritSecLock::~CCritSecLock()
{
    if (m_pSection != nullptr) {
        LeaveCriticalSection(m_pSection);
    }
}

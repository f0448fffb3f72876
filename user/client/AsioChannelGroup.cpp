// CAsioChannelGroup: every operation of the ASIO driver on the current device's channels, run
// over all of them under one lock, with roll-back of state changes that fail half-way.
#include "AsioChannelGroup.h"
#include <UserTrace.h>
#include <algorithm>
#include <new>

struct CAsioChannelGroup::Lock {
    explicit Lock(CAsioChannelGroup *Group) : m_Section(&Group->m_Lock) { EnterCriticalSection(m_Section); }
    ~Lock() { LeaveCriticalSection(m_Section); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    CRITICAL_SECTION *m_Section;
};

CAsioChannelGroup::CAsioChannelGroup() : m_Lock(), m_LockInitialized(FALSE)
{
    InitializeCriticalSection(&m_Lock);
    m_LockInitialized = TRUE;
    m_Channels.reserve(5);
}

CAsioChannelGroup::~CAsioChannelGroup()
{
    CloseAll();
    if (m_LockInitialized) {
        DeleteCriticalSection(&m_Lock);
    }
}

BOOL CAsioChannelGroup::OpenDevice(LPCWSTR Path, LPCWSTR InstanceId, LPCWSTR Name)
{
    Lock lock(this);
    auto *channel = new (std::nothrow) CAsioDeviceChannel();
    if (channel == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "no memory for a channel");
        return FALSE;
    }
    if (!channel->Open(Path, InstanceId, Name)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "failed to open device %ls", Path != nullptr ? Path : L"");
        delete channel;
        return FALSE;
    }
    try {
        m_Channels.push_back(channel);
    } catch (const std::bad_alloc &) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "no memory for a channel");
        delete channel;
        return FALSE;
    }
    return TRUE;
}

VOID CAsioChannelGroup::CloseAll()
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        delete channel;
    }
    m_Channels.clear();
}

DWORD CAsioChannelGroup::GetChannelCount()
{
    Lock lock(this);
    return (DWORD)m_Channels.size();
}

CAsioDeviceChannel *CAsioChannelGroup::GetChannel(DWORD Position)
{
    Lock lock(this);
    return Position < m_Channels.size() ? m_Channels[Position] : nullptr;
}

BOOL CAsioChannelGroup::AcquireAll()
{
    Lock lock(this);
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        if (!m_Channels[i]->Acquire()) {
            while (i-- > 0) {
                m_Channels[i]->Release();
            }
            return FALSE;
        }
    }
    return !m_Channels.empty();
}

BOOL CAsioChannelGroup::PrepareAll(DWORD Frames, BOOL WithInputs, BOOL WithOutputs, DWORD PrefillPercent, BOOL Dsd)
{
    Lock lock(this);
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        if (!m_Channels[i]->Prepare(Frames, WithInputs, WithOutputs, PrefillPercent, Dsd)) {
            while (i-- > 0) {
                m_Channels[i]->Unprepare();
            }
            return FALSE;
        }
    }
    return !m_Channels.empty();
}

BOOL CAsioChannelGroup::StartAll()
{
    Lock lock(this);
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        if (!m_Channels[i]->Start()) {
            while (i-- > 0) {
                m_Channels[i]->Stop();
            }
            return FALSE;
        }
    }
    return !m_Channels.empty();
}

BOOL CAsioChannelGroup::StopAll()
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        if (!channel->Stop()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "STOP failed: %u", (unsigned)GetLastError());
        }
    }
    return TRUE;
}

BOOL CAsioChannelGroup::UnprepareAll()
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        if (!channel->Unprepare()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "UNPREPARE failed: %u", (unsigned)GetLastError());
        }
    }
    return TRUE;
}

BOOL CAsioChannelGroup::ReleaseAll()
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        channel->Release();
    }
    return TRUE;
}

BOOL CAsioChannelGroup::SetSampleRateAll(DWORD Rate)
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        if (!channel->SetSampleRate(Rate)) {
            return FALSE;
        }
    }
    return !m_Channels.empty();
}

BOOL CAsioChannelGroup::PingAll()
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        if (!channel->Ping()) {
            return FALSE;
        }
    }
    return !m_Channels.empty();
}

BOOL CAsioChannelGroup::StartCaptureAll()
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        if (!channel->StartCapture()) {
            return FALSE;
        }
    }
    return !m_Channels.empty();
}

VOID CAsioChannelGroup::GetRateRange(RateRange *Range)
{
    Lock lock(this);
    RateRange common = {0, 0xFFFFFFFF};
    for (CAsioDeviceChannel *channel : m_Channels) {
        const RateRange range = channel->GetRange();
        common.Lowest = std::max(common.Lowest, range.Lowest);
        common.Highest = std::min(common.Highest, range.Highest);
    }
    // A single shared rate is a usable range; only a lowest above the highest is empty.
    if (m_Channels.empty() || common.Lowest > common.Highest) {
        common = RateRange{0, 0};
    }
    *Range = common;
}

BOOL CAsioChannelGroup::IsDsdSupported()
{
    Lock lock(this);
    if (m_Channels.empty()) {
        return FALSE;
    }
    for (CAsioDeviceChannel *channel : m_Channels) {
        if (channel->IsDsdNative() == 0) {
            return FALSE;
        }
    }
    return TRUE;
}

DWORD CAsioChannelGroup::GetInputCount()
{
    Lock lock(this);
    DWORD count = 0;
    for (CAsioDeviceChannel *channel : m_Channels) {
        count += channel->GetInputCount();
    }
    return count;
}

DWORD CAsioChannelGroup::GetOutputCount()
{
    Lock lock(this);
    DWORD count = 0;
    for (CAsioDeviceChannel *channel : m_Channels) {
        count += channel->GetOutputCount();
    }
    return count;
}

DWORD CAsioChannelGroup::GetBitsPerSample(BOOL IsInput)
{
    Lock lock(this);
    DWORD bits = 32;
    for (CAsioDeviceChannel *channel : m_Channels) {
        if ((IsInput ? channel->GetInputCount() : channel->GetOutputCount()) != 0) {
            bits = std::min(bits, channel->GetBitsPerSample(IsInput));
        }
    }
    return bits;
}

VOID CAsioChannelGroup::GetFormatAt(DWORD Rate, BOOL IsInput, DWORD *Count, DWORD *Bits)
{
    Lock lock(this);
    DWORD count = 0;
    DWORD bits = 32;
    for (CAsioDeviceChannel *channel : m_Channels) {
        DWORD channels = 0;
        DWORD width = 0;
        if (channel->GetFormatAt(Rate, IsInput, &channels, &width) && channels != 0) {
            count += channels;
            bits = std::min(bits, width);
        }
    }
    *Count = count;
    *Bits = bits;
}

BOOL CAsioChannelGroup::IsPowered(BOOL *IsOn)
{
    Lock lock(this);
    if (m_Channels.empty()) {
        return FALSE;
    }
    *IsOn = TRUE;
    for (CAsioDeviceChannel *channel : m_Channels) {
        BOOL on = FALSE;
        if (!channel->GetDevicePowerState(&on)) {
            return FALSE;
        }
        if (!on) {
            *IsOn = FALSE;
            return TRUE;
        }
    }
    return TRUE;
}

BOOL CAsioChannelGroup::HasStreamReset()
{
    Lock lock(this);
    BOOL reset = FALSE;
    for (CAsioDeviceChannel *channel : m_Channels) {
        DWORD value = 0;
        if (!channel->GetStreamReset(&value)) {
            return FALSE;
        }
        if (value != 0) {
            reset = TRUE;
        }
    }
    return reset;
}

BOOL CAsioChannelGroup::GetLatencies(DWORD Frames, DWORD *InputLatency, DWORD *OutputLatency)
{
    Lock lock(this);
    if (m_Channels.empty()) {
        return FALSE;
    }
    DWORD input = 0;
    DWORD output = 0;
    for (CAsioDeviceChannel *channel : m_Channels) {
        DWORD in = 0;
        DWORD out = 0;
        if (!channel->GetLatencies(Frames, &in, &out)) {
            return FALSE;
        }
        input = std::max(input, in);
        output = std::max(output, out);
    }
    *InputLatency = input;
    *OutputLatency = output;
    return TRUE;
}

BOOL CAsioChannelGroup::AlignPositions()
{
    Lock lock(this);
    if (m_Channels.empty()) {
        return FALSE;
    }
    DWORD lowest = 0xFFFFFFFF;
    for (CAsioDeviceChannel *channel : m_Channels) {
        DWORD position = 0;
        if (!channel->GetPosition(&position)) {
            return FALSE;
        }
        lowest = std::min(lowest, position);
    }
    for (CAsioDeviceChannel *channel : m_Channels) {
        if (!channel->SetPosition(lowest)) {
            return FALSE;
        }
    }
    return TRUE;
}

VOID CAsioChannelGroup::ClearBuffersAll()
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        channel->ClearBuffers();
    }
}

BOOL CAsioChannelGroup::CancelIoAll()
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        channel->CancelIo();
    }
    return TRUE;
}

DWORD CAsioChannelGroup::ReadHalfAll(DWORD Half)
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        if (!channel->ReadHalf(Half)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
            }
        }
    }
    return ERROR_SUCCESS;
}

DWORD CAsioChannelGroup::WriteHalfAll(DWORD Half)
{
    Lock lock(this);
    for (CAsioDeviceChannel *channel : m_Channels) {
        if (!channel->WriteHalf(Half)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
            }
        }
    }
    return ERROR_SUCCESS;
}

DWORD CAsioChannelGroup::WaitHalfAll(DWORD Half, HANDLE StopEvent)
{
    Lock lock(this);
    for (size_t i = 0; i < m_Channels.size();) {
        const DWORD result = m_Channels[i]->WaitHalf(Half, StopEvent);
        if (result == WAIT_IO_COMPLETION) {
            continue;
        }
        if (result != WAIT_OBJECT_0) {
            return result;
        }
        ++i;
    }
    return WAIT_OBJECT_0;
}

BOOL CAsioChannelGroup::MapChannel(BOOL IsInput, DWORD AsioIndex, DWORD *Position, DWORD *Index)
{
    Lock lock(this);
    ULONGLONG before = 0;
    for (size_t i = 0; i < m_Channels.size(); ++i) {
        const DWORD count = IsInput ? m_Channels[i]->GetInputCount() : m_Channels[i]->GetOutputCount();
        if (AsioIndex < before + count) {
            *Position = (DWORD)i;
            *Index = (DWORD)(AsioIndex - before);
            return TRUE;
        }
        before += count;
    }
    return FALSE;
}

BOOL CAsioChannelGroup::GetChannelName(BOOL IsInput, DWORD AsioIndex, CHAR Name[32])
{
    Lock lock(this);
    DWORD position = 0;
    DWORD index = 0;
    if (!MapChannel(IsInput, AsioIndex, &position, &index)) {
        return FALSE;
    }
    return m_Channels[position]->GetChannelName(IsInput, index, Name);
}

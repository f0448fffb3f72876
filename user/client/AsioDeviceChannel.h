// CAsioDeviceChannel: the user-mode end of one device channel: an overlapped handle on a
// device's "\asio" path, the control requests of the channel protocol, and the double-buffered
// capture reads and render writes of the data path.
#pragma once
#include <span>
#include <vector>
#include <windows.h>
#include "AsioDeviceRecord.h"
#include "AsioLatencyOverride.h"

// WaitHalf results besides WAIT_OBJECT_0 (the half completed) and WAIT_OBJECT_0 + 1 (stop).
#define ASIO_WAIT_HALF_FAILED 0xFFFFFFFF

class CAsioDeviceChannel {
public:
    CAsioDeviceChannel();
    ~CAsioDeviceChannel();
    CAsioDeviceChannel(const CAsioDeviceChannel &) = delete;
    CAsioDeviceChannel &operator=(const CAsioDeviceChannel &) = delete;

    // Opens Path overlapped and learns the device: current rate (0 reads as 44100), rate
    // range, rate capabilities, DSD support and capture transfer length. A failed open leaves
    // the object closed. An open object is closed first.
    BOOL Open(LPCWSTR Path, LPCWSTR InstanceId, LPCWSTR Name);
    // Closing the handle gives the device back: the kernel walks the channel back itself.
    VOID Close();
    BOOL IsOpen() const { return m_Handle != INVALID_HANDLE_VALUE; }

    // One control request under the control lock; TRUE when the request succeeded.
    BOOL IoControl(DWORD Code, LPVOID InBuffer, DWORD InSize, LPVOID OutBuffer, DWORD OutSize,
                   LPDWORD BytesReturned = nullptr);

    BOOL Acquire();
    // Allocates the halves (each direction sized by its own container width: Frames x
    // channels x container bytes), creates the half events of the enabled directions and sends
    // PREPARE. Any failure frees what was allocated.
    BOOL Prepare(DWORD Frames, BOOL WithInputs, BOOL WithOutputs, DWORD PrefillPercent, BOOL Dsd);
    BOOL Start();
    BOOL Stop();
    // Frees the halves whatever the request answered.
    BOOL Unprepare();
    BOOL Release();

    BOOL SetSampleRate(DWORD Rate);
    BOOL GetSampleRate(DWORD *Rate);
    BOOL GetRateRange(RateRange *Range);
    BOOL QueryRateCaps();
    BOOL GetDsdSupport(DWORD *Supported);
    BOOL GetCaptureTransferMs(DWORD *Milliseconds);
    BOOL Ping();
    BOOL GetStreamReset(DWORD *Reset);
    BOOL StartCapture();
    BOOL GetPosition(DWORD *Frames);
    BOOL SetPosition(DWORD Frames);
    BOOL GetDevicePowerState(BOOL *IsOn);

    // Data path; called by the streaming thread only. Half is 0 or 1. ReadHalf and WriteHalf
    // return what ReadFile/WriteFile returned (FALSE with ERROR_IO_PENDING when queued).
    BOOL ReadHalf(DWORD Half);
    BOOL WriteHalf(DWORD Half);
    // Alertable wait for the watched half (input half when prepared with inputs, else output
    // half) or StopEvent: WAIT_OBJECT_0 when the half completed successfully, WAIT_OBJECT_0 + 1
    // for the stop event, WAIT_IO_COMPLETION when an APC ran (wait again), and
    // ASIO_WAIT_HALF_FAILED when the wait or the request failed.
    DWORD WaitHalf(DWORD Half, HANDLE StopEvent);
    BOOL CancelIo();
    // 0x96 (DSD silence) in DSD mode, else 0, in the halves of the directions the device has.
    VOID ClearBuffers();
    BYTE *GetInputBuffer(DWORD Half);
    BYTE *GetOutputBuffer(DWORD Half);
    DWORD GetInputBufferSize() const { return m_Halves[InputHalf0].Size; }
    DWORD GetOutputBufferSize() const { return m_Halves[OutputHalf0].Size; }

    RateRange GetRange() const { return m_Range; }
    const std::vector<RateCaps> &GetRateCapsTable() const { return m_RateCaps; }
    // The channel count and container bits of a direction at Rate, from the capability rows
    // learnt at open, without asking the device; FALSE (count 0) when Rate has no row.
    BOOL GetFormatAt(DWORD Rate, BOOL IsInput, DWORD *Count, DWORD *Bits) const;
    DWORD GetCurrentRate() const { return m_CurrentRate; }
    DWORD GetInputCount() const { return m_InputCount; }
    DWORD GetOutputCount() const { return m_OutputCount; }
    // Container bits of one direction at the current rate. The directions may differ; the
    // kernel sizes each direction's data by its own width, and so does Prepare.
    DWORD GetBitsPerSample(BOOL IsInput) const { return IsInput ? m_InputBits : m_OutputBits; }
    DWORD IsDsdNative() const { return m_DsdNative; }
    DWORD GetCaptureTransferLength() const { return m_CaptureTransferMs; }
    LPCWSTR GetInstanceId() const { return m_InstanceId; }
    LPCWSTR GetDeviceName() const { return m_DeviceName; }

    // Latencies in frames for a host buffer of Frames; FALSE when an override row applies but
    // has no entry for the current rate, or its entry cannot be used.
    BOOL GetLatencies(DWORD Frames, DWORD *InputLatency, DWORD *OutputLatency) const;
    // The ASIO name of a channel, "<device> In 01", at most 31 characters and a terminator.
    // FALSE for an index outside the direction's channels or a null buffer.
    BOOL GetChannelName(BOOL IsInput, DWORD Index, CHAR Name[32]) const;

    // The override table consulted by GetLatencies and GetChannelName (the shipped one by
    // default).
    VOID UseOverrides(std::span<const AsioLatencyOverride> Overrides) { m_Overrides = Overrides; }

private:
    enum { InputHalf0 = 0, InputHalf1 = 1, OutputHalf0 = 2, OutputHalf1 = 3, HalfCount = 4 };

    struct Half {
        DWORD Size;      // bytes
        DWORD *Buffer;   // whole 32-bit words
        OVERLAPPED Overlapped;
        DWORD Transferred;
    };

    VOID UpdateFormat();
    // Frees every half whose request has ended.
    VOID FreeBuffers();
    BOOL AnyHalfPending();
    BOOL AllocateHalf(Half &half, ULONGLONG Bytes);
    const AsioLatencyOverride *FindOverride() const;

    HANDLE m_Handle;
    CRITICAL_SECTION m_ControlLock;
    BOOLEAN m_ControlLockInitialized;
    OVERLAPPED m_ControlOverlapped;
    Half m_Halves[HalfCount];
    DWORD m_WithInputs;
    DWORD m_CurrentRate;
    DWORD m_InputCount;
    DWORD m_OutputCount;
    DWORD m_InputBits;
    DWORD m_OutputBits;
    WORD m_DsdMode;
    WCHAR m_InstanceId[ASIO_DEVICE_ID_CHARS];
    WCHAR m_DeviceName[ASIO_DEVICE_DESC_CHARS];
    RateRange m_Range;
    std::vector<RateCaps> m_RateCaps;
    DWORD m_DsdNative;
    DWORD m_CaptureTransferMs;
    std::span<const AsioLatencyOverride> m_Overrides;
};

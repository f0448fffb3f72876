// CUSBAudioCL: the standard driver's audio-class layer over CUSBCL. It turns the configuration
// descriptor into entities and streaming-interface records, configures the device, selects
// streaming formats and rates, and builds the isochronous render and capture transfers.
#pragma once
#include "USBCL.h"

class CUSBAudioEntity;
class CUSBAudioClock;
class CUSBAudioTerminal;
struct USB_PACKET_PATTERN_ROW;

// Descriptors of one alternate setting, pointing into the configuration descriptor. An
// alternate without endpoints has only its interface descriptor.
struct USB_ALTERNATE_SETTING {
    const UCHAR *InterfaceDescriptor;
    const UCHAR *Endpoint;
    const UCHAR *AsGeneral;
    const UCHAR *FormatType;
    const UCHAR *CsEndpoint;
};

// Direction of a record: bit 7 of the first endpoint address of alternate 1.
constexpr UCHAR USB_STREAM_RENDER = 0;
constexpr UCHAR USB_STREAM_CAPTURE = 1;

// One AudioStreaming interface of the device.
struct USB_STREAMING_INTERFACE {
    USB_STREAMING_INTERFACE *Next;
    UCHAR InterfaceNumber;
    UCHAR Direction;
    ULONG CurrentAlternate;
    ULONG AlternateCount;
    USB_ALTERNATE_SETTING *Alternates;
    CUSBAudioTerminal *Terminal;
    // The pipe of the current alternate's endpoint; null at alternate 0. It changes with every
    // alternate-setting change of this interface.
    PUSBD_PIPE_INFORMATION Pipe;
    ULONG BytesPerFrame;
};

class CUSBAudioCL : public CUSBCL {
public:
    CUSBAudioCL();
    ~CUSBAudioCL() override;

    // Reads the device below lowerDevice and builds the model: STATUS_NOT_SUPPORTED for a
    // device this driver cannot run, STATUS_UNSUCCESSFUL for an audio-control unit it does
    // not support. A failed Start leaves no model. PASSIVE_LEVEL.
    NTSTATUS Start(PDEVICE_OBJECT lowerDevice);
    // Configures the device with alternate 0 on every streaming interface and binds the
    // pipes. PASSIVE_LEVEL.
    NTSTATUS Configure();

    // Format selection; direction non-zero means capture. PASSIVE_LEVEL, under the adapter's
    // format mutex.
    // STATUS_SUCCESS when the direction offers the format; nothing is selected (a class 1
    // capture interface without a rate control may be set to the rate on the way).
    NTSTATUS IsFormatSupported(ULONG direction, ULONG channels, ULONG bits, ULONG rate);
    // Selects the alternate of the format and sets the rate; channels = bits = rate = 0 returns
    // the interface to alternate 0. bytesPerTransfer receives milliseconds of the endpoint's
    // capacity (0 with no format). Render needs a rate of the packet-pattern table.
    NTSTATUS SelectStreamingFormat(ULONG direction, ULONG channels, ULONG bits, ULONG rate, ULONG milliseconds,
                                   PULONG bytesPerTransfer);
    // The alternate of record that carries the format (0 when any argument is 0).
    NTSTATUS SearchStreamingFormat(USB_STREAMING_INTERFACE *record, ULONG channels, ULONG bits, ULONG rate,
                                   PULONG alternate);
    // What the direction offers, for the filter's data ranges. STATUS_NOT_SUPPORTED when it
    // offers no PCM format.
    NTSTATUS GetFormatRange(ULONG direction, PULONG maxChannels, PULONG minBits, PULONG maxBits, PULONG minRate,
                            PULONG maxRate);

    // Render transfers. Called by the render thread and its completions, serialised by the
    // caller's render lock; DISPATCH_LEVEL or below.
    // Bytes of the next transfer of milliseconds, from the current pattern position (which
    // does not move); 0 with no render format.
    ULONG GetRenderBytesPerTransfer(ULONG milliseconds);
    // Sends length bytes of buffer (non-paged, the caller's until the callback) as packets of
    // the pattern, advancing the pattern position. STATUS_SUCCESS once sent: the callback
    // follows, possibly before this returns. Any other status: nothing was sent, no callback.
    NTSTATUS BuildRenderIsochUrb(PVOID buffer, ULONG length, PUSB_COMPLETION_CALLBACK completion, PVOID context);
    // A capture transfer of length bytes into buffer; the same contract. DISPATCH_LEVEL or below.
    NTSTATUS BuildCaptureIsochUrb(PVOID buffer, ULONG length, PUSB_COMPLETION_CALLBACK completion, PVOID context);

    // The pipe of a direction's current alternate (null when stopped or absent), for the
    // adapter's abort and reset. PASSIVE_LEVEL, under the format mutex or on the direction's
    // worker thread.
    PUSBD_PIPE_INFORMATION GetStreamPipe(ULONG direction);

    // Entity lookup; ID 0 never names an entity.
    CUSBAudioEntity *FindEntity(UCHAR id);
    // The clock entity (source or selector) of a class 2 device with that ID, or null.
    CUSBAudioClock *FindClock(UCHAR id);
    UCHAR GetAcInterfaceNumber() const;
    BOOLEAN IsUac2() const { return m_IsUac2; }
    USB_STREAMING_INTERFACE *GetStreamingInterface(ULONG direction) const
    {
        return direction != 0 ? m_pCapture : m_pRender;
    }
    ULONG GetStreamingInterfaceCount() const { return m_StreamingInterfaceCount; }
    CUSBAudioEntity *GetEntities() const { return m_pEntities; }
    ULONG GetRenderPatternPosition() const { return m_RenderPatternPosition; }
    ULONG GetRenderIntervalFactor() const { return m_RenderIntervalFactor; }

protected:
    NTSTATUS ParseAudioControl(const UCHAR *limit);
    NTSTATUS CreateStreamingInterfaceList();
    NTSTATUS ParseStreamingInterface(USB_STREAMING_INTERFACE *record);
    // Binds every record's pipe to its current alternate's endpoint. STATUS_NOT_SUPPORTED when
    // an endpoint has no pipe (the other records are still bound).
    NTSTATUS BindPipes();

private:
    VOID ReleaseModel();
    NTSTATUS LinkTerminals();
    BOOLEAN MatchUac2(const USB_ALTERNATE_SETTING &alternate, ULONG channels, ULONG bits);
    NTSTATUS MatchUac1(USB_STREAMING_INTERFACE *record, ULONG index, ULONG channels, ULONG bits, ULONG rate);
    // Class 1 rate of a data endpoint (wIndex = endpoint address): read, and set when asked.
    NTSTATUS GetEndpointRate(UCHAR endpoint, PULONG rate);
    NTSTATUS SetEndpointRate(UCHAR endpoint, ULONG rate);
    // Reads a class 1 capture endpoint's rate and moves it to rate when it is 44100 or
    // 48000; STATUS_NOT_SUPPORTED when it still differs. Search tells the search's check from
    // the selection's.
    NTSTATUS ConfirmCaptureRate(UCHAR endpoint, ULONG rate, BOOLEAN search);
    NTSTATUS SetUac1Rate(USB_STREAMING_INTERFACE *record, ULONG rate);
    NTSTATUS SelectRecordAlternate(USB_STREAMING_INTERFACE *record, ULONG alternate);
    // Bytes one (micro)frame of the endpoint carries at most, and its packet period in
    // (micro)frames.
    ULONG EndpointBytesPerMs(const UCHAR *endpoint) const;
    ULONG EndpointPeriod(const UCHAR *endpoint) const;
    // The pattern entries of the current render row for this bus speed.
    const ULONG *PatternEntries(PULONG length) const;

    BOOLEAN m_IsUac2;
    const UCHAR *m_pAcInterface;
    const UCHAR *m_pAcHeader;
    CUSBAudioEntity *m_pEntities;
    ULONG m_StreamingInterfaceCount;
    USB_STREAMING_INTERFACE *m_pStreamingInterfaces;
    USB_STREAMING_INTERFACE *m_pRender;
    USB_STREAMING_INTERFACE *m_pCapture;
    const USB_PACKET_PATTERN_ROW *m_pRenderPattern;
    ULONG m_RenderPatternPosition;
    // Pattern entries one render packet covers: 2^(bInterval-1) of the render endpoint.
    ULONG m_RenderIntervalFactor;
};

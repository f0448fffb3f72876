// CUSBAudioCL: the audio-class layer over CUSBCL. It turns the configuration descriptor into
// entities and streaming interface records, configures the device, selects formats and rates,
// and checks the packets of completed capture transfers.
#pragma once
#include <portcls.h>
#include "StreamingInterface.h"
#include "USBCL.h"

class CUSBAudioEntity;
class CUSBAudioClock;
class CUSBAudioFeatureUnit;
struct PACKET_PATTERN_ROW;
struct USBAUDIO_FILTER_AUTOMATION;

// Wave format tags accepted by the format selection.
constexpr ULONG USB_AUDIO_TAG_PCM = 1;
constexpr ULONG USB_AUDIO_TAG_IEEE_FLOAT = 3;
constexpr ULONG USB_AUDIO_TAG_ALAW = 6;
constexpr ULONG USB_AUDIO_TAG_MULAW = 7;

// IRPs the adapter preallocates for streaming.
constexpr ULONG USB_AUDIO_IRP_COUNT = 16;

class CUSBAudioCL : public CUSBCL {
public:
    CUSBAudioCL();
    ~CUSBAudioCL() override;

    // Fails a successful isochronous IN transfer with STATUS_UNEXPECTED_IO_ERROR when one of
    // its packets lies outside the capture record's packet size window. DISPATCH_LEVEL.
    NTSTATUS CheckTransferStatus(NTSTATUS irpStatus, PURB urb, USB_TRANSFER_CONTEXT *context) override;
    // Reads the device and builds the model. A failed Start leaves no model in use.
    // PASSIVE_LEVEL.
    virtual NTSTATUS Start(PDEVICE_OBJECT pdo, ULONG irpCount);
    // Configures the device with alternate 0 on every streaming interface. PASSIVE_LEVEL.
    virtual NTSTATUS Configure();
    virtual NTSTATUS CreateStreamingInterfaceList();
    virtual NTSTATUS ParseStreamingInterface(USB_STREAMING_INTERFACE *record);

    // Entity lookup; ID 0 never names an entity.
    CUSBAudioEntity *FindEntity(UCHAR id);
    // The clock entity (source or selector) with that ID, or null.
    CUSBAudioClock *FindClock(UCHAR id);
    // A class request to an entity of the AudioControl interface. PASSIVE_LEVEL.
    NTSTATUS ClassRequest(UCHAR requestType, UCHAR request, UCHAR controlSelector, UCHAR channel, UCHAR entityId,
                          USHORT length, PVOID buffer, PULONG returned = nullptr);
    // Binds the pipes of every record's current alternate. PASSIVE_LEVEL.
    NTSTATUS LinkStreamingPipes();

    // Format and rate selection; direction non-zero means capture. PASSIVE_LEVEL, under the
    // adapter's stream mutex.
    NTSTATUS GetTerminalFormatRange(ULONG direction, PULONG maxChannels, PULONG minContainerBits,
                                    PULONG maxContainerBits, PULONG minRate, PULONG maxRate);
    // The widest PCM alternate of the rate: its channels, container bits and, when asked, its bit
    // resolution (what an exact SelectStreamingFormat request for that alternate names).
    NTSTATUS GetStreamingFormat(ULONG direction, ULONG subFormat, ULONG rate, PULONG channels, PULONG containerBits,
                                PULONG resolutionBits = nullptr);
    NTSTATUS IsFormatSupported(ULONG direction, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate);
    NTSTATUS SearchAlternateSetting(USB_STREAMING_INTERFACE *record, ULONG formatTag, ULONG channels, ULONG bits,
                                    ULONG rate, PULONG outChannels, PULONG outContainerBits, PULONG outAlternate);
    NTSTATUS SelectStreamingFormat(ULONG direction, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate,
                                   ULONG msPerTransfer, PULONG outChannels, PULONG outContainerBits,
                                   PULONG largestBytesPerTransfer);
    // Implicit-feedback variant: sizes per transfer instead of pattern and feedback state.
    // framesBelow and framesAbove may be null; when requested with no format they give
    // STATUS_INVALID_PARAMETER.
    NTSTATUS SelectStreamingFormat(ULONG direction, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate,
                                   ULONG msPerTransfer, PULONG outChannels, PULONG outContainerBits,
                                   PULONG nominalBytesPerTransfer, PLONG framesBelow, PLONG framesAbove,
                                   PULONG largestBytesPerTransfer);
    NTSTATUS IsSampleRateSupported(ULONG rate);
    NTSTATUS SetSampleRate(ULONG rate);
    NTSTATUS IntersectFormat(ULONG direction, ULONG channels, ULONG minBits, ULONG maxBits, PULONG lowestRate,
                             PULONG highestRate);

    // The render or capture record, or null.
    USB_STREAMING_INTERFACE *GetRecord(ULONG direction) const { return direction != 0 ? m_pCapture : m_pRender; }
    // Implicit-feedback mode: the flag, or a capture alternate 1 whose data endpoint carries
    // implicit feedback.
    BOOLEAN IsImplicitFeedbackMode() const;
    // 16.16 frames per (micro)frame at a rate: what a feedback endpoint reports at nominal speed.
    ULONG NominalFeedback(ULONG rate) const;
    BOOLEAN IsUac2() const { return m_IsUac2; }
    UCHAR GetAcInterfaceNumber() const;
    // TRUE for the device whose render packets carry a 32-bit length prefix.
    BOOLEAN HasLengthPrefixedRender() const;

    // Render and capture data transfers. msPerTransfer is the engine's transfer length T in
    // ms (1 .. 8). The callback gets (status, bytes, start frame, context, frames); render
    // bytes are the audio bytes of the transfer. A refused submission returns its status and
    // no callback follows: STATUS_NOT_SUPPORTED without a data pipe, STATUS_INVALID_PARAMETER
    // for a transfer that needs more than a pooled URB's packets. DISPATCH_LEVEL or below.
    ULONG GetRenderBytesPerTransfer(ULONG msPerTransfer, ULONG feedbackValue);
    NTSTATUS SubmitRenderTransfer(PMDL mdl, ULONG bytes, ULONG msPerTransfer, PUSB_COMPLETION_CALLBACK callback,
                                  PVOID clientContext);
    NTSTATUS SubmitRenderTransferSynced(PMDL mdl, ULONG bytes, ULONG msPerTransfer,
                                        PUSB_COMPLETION_CALLBACK callback, PVOID clientContext, ULONG startFrame);
    // buffer is non-paged and stays with the caller until the callback; STATUS_INVALID_PARAMETER
    // without a capture record.
    NTSTATUS SubmitCaptureTransfer(PVOID buffer, ULONG length, PUSB_COMPLETION_CALLBACK callback,
                                   PVOID clientContext, ULONG startFrame);

    // Explicit feedback: bytes of a read covering four milliseconds (0 without a feedback
    // pipe), and one read whose callback gets (status, averaged 16.16 value, start frame,
    // context, 0). DISPATCH_LEVEL or below.
    ULONG GetFeedbackBufferSize();
    NTSTATUS RecvFeedback(PVOID buffer, ULONG length, PUSB_COMPLETION_CALLBACK callback, PVOID clientContext);
    static IO_COMPLETION_ROUTINE _RecvFeedbackCompletionRoutine;

    // Feature-unit controls in the device's 1/256 dB units; mute acts on the master channel.
    // STATUS_INVALID_PARAMETER for a null unit or output, STATUS_NOT_SUPPORTED for a control
    // the unit lacks. PASSIVE_LEVEL.
    NTSTATUS SetVolume(CUSBAudioFeatureUnit *unit, UCHAR channel, SHORT value);
    NTSTATUS GetVolume(CUSBAudioFeatureUnit *unit, UCHAR channel, PSHORT value);
    NTSTATUS GetVolumeRange(CUSBAudioFeatureUnit *unit, UCHAR channel, PSHORT minimum, PSHORT maximum,
                            PUSHORT resolution);
    NTSTATUS SetMute(CUSBAudioFeatureUnit *unit, UCHAR value);
    NTSTATUS GetMute(CUSBAudioFeatureUnit *unit, PUCHAR value);
    // Vendor request switching every streaming interface to a mode (0 PCM, 1 native DSD); the
    // first failure stops and is returned. Restore sends each record its remembered mode.
    // PASSIVE_LEVEL.
    NTSTATUS SetVendorMode(USHORT mode);
    NTSTATUS RestoreVendorMode();

    // KS data ranges of a record's alternates (narrowed to the current rate when one is set).
    // PASSIVE_LEVEL.
    NTSTATUS BuildDataRanges(USB_STREAMING_INTERFACE *record);
    // Fills filter from the entity list: pins per terminal, nodes per unit control, the
    // connections of the render and capture paths. automation (optional) supplies the tables
    // of the filter and of volume and mute nodes. Release with FreeFilter. PASSIVE_LEVEL.
    NTSTATUS BuildFilter(PPCFILTER_DESCRIPTOR filter, const USBAUDIO_FILTER_AUTOMATION *automation = nullptr);
    VOID FreeFilter(PPCFILTER_DESCRIPTOR filter);

    ULONG m_CurrentSampleRate;
    const PACKET_PATTERN_ROW *m_pPatternRow;
    ULONG m_PatternPosition;
    ULONG m_RenderPacketInterval;
    BOOLEAN m_IsUac2;
    const UCHAR *m_pAcInterface;
    const UCHAR *m_pAcHeader;
    CUSBAudioEntity *m_pEntities;
    ULONG m_StreamingInterfaceCount;
    USB_STREAMING_INTERFACE *m_pStreamingInterfaces;
    USB_STREAMING_INTERFACE *m_pRender;
    USB_STREAMING_INTERFACE *m_pCapture;
    BOOLEAN m_ImplicitFeedback;

private:
    NTSTATUS BuildEntityList(const UCHAR *acEnd);
    CUSBAudioEntity *CreateEntity(const UCHAR *descriptor);
    VOID ReleaseModel();
    UCHAR AudioInterfaceClass() const;
    BOOLEAN IsFullConfigurationDevice() const;
    NTSTATUS ConfirmCaptureRate(USB_STREAMING_INTERFACE *record, ULONG alternate, ULONG rate);
    NTSTATUS SelectFormat(USB_STREAMING_INTERFACE *record, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate,
                          PULONG outChannels, PULONG outContainerBits, PULONG packetInterval);
    ULONG CapacityPerMs(const USB_STREAMING_INTERFACE *record) const;
    ULONG PacketInterval(const UCHAR *dataEndpoint) const;
    // Bytes the endpoint moves per service interval (all transactions of a microframe).
    ULONG BytesPerInterval(const UCHAR *endpoint) const;
    // Whether an alternate's data endpoint can carry frames of frameBytes at rate.
    BOOLEAN EndpointCarriesRate(const USB_ALTERNATE_ENTRY &entry, ULONG rate, ULONG frameBytes) const;
    NTSTATUS SubmitRender(PMDL mdl, ULONG bytes, ULONG msPerTransfer, PUSB_COMPLETION_CALLBACK callback,
                          PVOID clientContext, ULONG transferFlags, ULONG startFrame);
    NTSTATUS SendVendorMode(USB_STREAMING_INTERFACE *record, USHORT mode);
    VOID CompleteFeedback(PIRP irp, USB_TRANSFER_CONTEXT *context);
};

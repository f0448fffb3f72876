// The streaming interface record: one AudioStreaming interface of the device with its
// alternate settings, the pipes of the current alternate, the selected format's packet sizes
// and the feedback state shared with the streaming engine.
#pragma once
#include <wdm.h>
#include <usb.h>
#include <ksmedia.h>

class CUSBAudioTerminal;

// Descriptors of one alternate setting, pointing into the configuration descriptor. Every
// pointer but the interface descriptor may be null.
struct USB_ALTERNATE_ENTRY {
    const UCHAR *InterfaceDescriptor;
    const UCHAR *DataEndpoint;
    const UCHAR *AsGeneral;
    const UCHAR *FormatType;
    const UCHAR *CsEndpoint;
    const UCHAR *FeedbackEndpoint;
};

// Direction values of a record (bit 7 of its first endpoint address).
constexpr UCHAR USB_STREAM_RENDER = 0;
constexpr UCHAR USB_STREAM_CAPTURE = 1;

struct USB_STREAMING_INTERFACE {
    USB_STREAMING_INTERFACE *Next;
    UCHAR InterfaceNumber;
    UCHAR Direction;
    ULONG AlternateCount;
    ULONG CurrentAlternate;
    USB_ALTERNATE_ENTRY *Alternates;
    CUSBAudioTerminal *Terminal;
    // Pipes of the current alternate; they change with every alternate-setting change.
    PUSBD_PIPE_INFORMATION DataPipe;
    ULONG BytesPerFrame;
    ULONG NominalPacketBytes;
    ULONG MinimumPacketBytes;
    ULONG MaximumPacketBytes;
    BOOLEAN ExactRate;
    PUSBD_PIPE_INFORMATION FeedbackPipe;
    // 16.16 frames per (micro)frame. FeedbackValueInUse and LatestFeedbackValue are guarded by
    // FeedbackLock (in-stack queued).
    ULONG FeedbackValueInUse;
    ULONG LatestFeedbackValue;
    KSPIN_LOCK FeedbackLock;
    ULONG LastReceivedFeedback;
    ULONG FeedbackCarry;
    // Frames between feedback values, 4 .. 1024.
    ULONG FeedbackPeriod;
    ULONG DataRangeCount;
    // Pool buffer (USBAUDIO_TAG) of DataRangeCount ranges, owned by the record. The same block
    // holds DataRangeEntries: DataRangeEntryCount pointers for a KS pin (the ranges, then the
    // attribute list that follows a range flagged KSDATARANGE_ATTRIBUTES).
    PKSDATARANGE_AUDIO DataRanges;
    PKSDATARANGE *DataRangeEntries;
    ULONG DataRangeEntryCount;
    ULONG SampleRate;
    ULONG VendorMode;

    const USB_ALTERNATE_ENTRY *CurrentEntry() const
    {
        return Alternates != nullptr && CurrentAlternate < AlternateCount ? &Alternates[CurrentAlternate] : nullptr;
    }
};

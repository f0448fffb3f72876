// CAsioMixSource: the device channel's output FIFO as a producer of render samples.
#pragma once
#include "DeviceChannel.h"
#include "MixSource.h"

class CAsioMixSource : public CMixSource {
public:
    CAsioMixSource();

    // At adapter construction: the channel whose FIFOs this source reads.
    VOID Attach(CDeviceChannel *Channel) { m_Channel = Channel; }
    // PASSIVE_LEVEL, before priming: the prepared channel's render format and mode.
    VOID SetChannelFormat(ULONG Channels, ULONG BitsPerSample, ULONG Mode);

    // Capture-paced exactly when the channel was prepared with inputs.
    BOOLEAN IsCapturePaced() override;
    // The output FIFO has started (first completed READ, or first full FIFO when render-only).
    BOOLEAN IsSourceStarted() override;
    PLIST_ENTRY PieceLink(TransferEntry *Entry) override;
    TransferEntry *PieceFromLink(PLIST_ENTRY Link) override;
    // Partial reads in direct mode; strict reads in capture-paced mode, where a shortfall is
    // booked in the FIFO's balance so that the client's position stays aligned.
    ULONG ReadFrames(ULONG Frames, PUCHAR Destination) override;
    ULONG GetMode() override { return m_Mode; }
    ULONG GetBitsPerSample() override { return m_BitsPerSample; }
    ULONG GetChannels() override { return m_Channels; }
    // Duplex: the FIFO balances are compared; render-only: the drain thread is woken.
    VOID NotifyConsumed() override;

private:
    CDeviceChannel *m_Channel;
    ULONG m_Channels;
    ULONG m_BitsPerSample;
    ULONG m_Mode;
};

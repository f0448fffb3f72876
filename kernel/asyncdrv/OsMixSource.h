// COsMixSource: the operating-system WaveRT render stream as a producer of render samples. Its
// samples come from the adapter's render piece queue, which the stream fills on request.
#pragma once
#include "MixSource.h"

class CAdapterCommon;

class COsMixSource : public CMixSource {
public:
    COsMixSource();

    // At adapter construction: the adapter whose miniport and render queue this source reads.
    VOID Attach(CAdapterCommon *Adapter) { m_Adapter = Adapter; }
    // PASSIVE_LEVEL, before priming: the WaveRT stream's format.
    VOID SetStreamFormat(ULONG Channels, ULONG BitsPerSample);

    // Capture-paced whenever the device has a capture interface.
    BOOLEAN IsCapturePaced() override;
    // A primed capture-paced source writes as soon as the stream runs.
    BOOLEAN IsSourceStarted() override;
    PLIST_ENTRY PieceLink(TransferEntry *Entry) override;
    TransferEntry *PieceFromLink(PLIST_ENTRY Link) override;
    // Asks the stream for the next span of its buffer and copies what it queued; 0 frames when
    // no stream runs. With the lock held; a capture-paced source is read only once primed.
    ULONG ReadFrames(ULONG Frames, PUCHAR Destination) override;
    ULONG GetMode() override { return MIX_MODE_PCM; }
    ULONG GetBitsPerSample() override { return m_BitsPerSample; }
    ULONG GetChannels() override { return m_Channels; }

private:
    CAdapterCommon *m_Adapter;
    ULONG m_Channels;
    ULONG m_BitsPerSample;
};

// COsMixSource: reading the WaveRT render stream's buffer into the mix path.
#include "OsMixSource.h"
#include "AdapterCommon.h"
#include "TransferEntry.h"

COsMixSource::COsMixSource() : m_Adapter(NULL), m_Channels(0), m_BitsPerSample(0)
{
}

VOID COsMixSource::SetStreamFormat(ULONG Channels, ULONG BitsPerSample)
{
    m_Channels = Channels;
    m_BitsPerSample = BitsPerSample;
}

BOOLEAN COsMixSource::IsCapturePaced()
{
    return m_Device.HasCapture;
}

BOOLEAN COsMixSource::IsSourceStarted()
{
    return m_CapturePaced;
}

PLIST_ENTRY COsMixSource::PieceLink(TransferEntry *Entry)
{
    return &Entry->OsMixLink;
}

TransferEntry *COsMixSource::PieceFromLink(PLIST_ENTRY Link)
{
    return CONTAINING_RECORD(Link, TransferEntry, OsMixLink);
}

ULONG COsMixSource::ReadFrames(ULONG Frames, PUCHAR Destination)
{
    ULONG frameBytes = SourceBytesPerFrame();
    if (m_Adapter == NULL || frameBytes == 0) {
        return 0;
    }
    ULONG64 bytes = static_cast<ULONG64>(Frames) * frameBytes;
    if (bytes > MAXULONG) {
        bytes = static_cast<ULONG64>(MAXULONG / frameBytes) * frameBytes;
    }
    return m_Adapter->ReadOsRender(Destination, static_cast<ULONG>(bytes)) / frameBytes;
}

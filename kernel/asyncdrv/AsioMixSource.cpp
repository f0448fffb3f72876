// CAsioMixSource: reading the device channel's output FIFO into the mix path.
#include "AsioMixSource.h"
#include "TransferEntry.h"

CAsioMixSource::CAsioMixSource() : m_Channel(NULL), m_Channels(0), m_BitsPerSample(0), m_Mode(MIX_MODE_PCM)
{
}

VOID CAsioMixSource::SetChannelFormat(ULONG Channels, ULONG BitsPerSample, ULONG Mode)
{
    m_Channels = Channels;
    m_BitsPerSample = BitsPerSample;
    m_Mode = Mode;
}

BOOLEAN CAsioMixSource::IsCapturePaced()
{
    return m_Channel != NULL && m_Channel->HasInputFifo();
}

BOOLEAN CAsioMixSource::IsSourceStarted()
{
    return m_Channel != NULL && m_Channel->IsOutputStarted();
}

PLIST_ENTRY CAsioMixSource::PieceLink(TransferEntry *Entry)
{
    return &Entry->AsioMixLink;
}

TransferEntry *CAsioMixSource::PieceFromLink(PLIST_ENTRY Link)
{
    return CONTAINING_RECORD(Link, TransferEntry, AsioMixLink);
}

ULONG CAsioMixSource::ReadFrames(ULONG Frames, PUCHAR Destination)
{
    ULONG frameBytes = SourceBytesPerFrame();
    if (m_Channel == NULL || frameBytes == 0) {
        return 0;
    }
    ULONG64 bytes = static_cast<ULONG64>(Frames) * frameBytes;
    if (bytes > MAXULONG) {
        bytes = static_cast<ULONG64>(MAXULONG / frameBytes) * frameBytes;
    }
    ULONG delivered = m_Channel->ReadRender(Destination, static_cast<ULONG>(bytes), !IsPrimedForCapture());
    return delivered / frameBytes;
}

VOID CAsioMixSource::NotifyConsumed()
{
    if (m_Channel != NULL) {
        m_Channel->RenderConsumed();
    }
}

// CAdapterCommon's streaming engine, its contacts with the rest of the driver: the two render mix
// sources (direct mixing, piece queues, capture-paced writing, re-priming) and the device
// channel (capture packets, the stream-reset flag, the fill byte).
#include "AdapterCommon.h"
#include "MixSource.h"

// The mix sources in the engine's order: the device channel's, then the operating system's.
ULONG CAdapterCommon::EngineMixSources(CMixSource **Sources)
{
    ULONG count = 0;
    for (CMixSource *source : m_EngineMix) {
        if (source != nullptr) {
            Sources[count++] = source;
        }
    }
    return count;
}

VOID CAdapterCommon::EngineMixReprime()
{
    CMixSource *sources[2];
    for (ULONG i = 0, n = EngineMixSources(sources); i < n; ++i) {
        sources[i]->Reprime();
    }
}

VOID CAdapterCommon::EngineMixDirect(PUCHAR Buffer, ULONG Bytes)
{
    CMixSource *sources[2];
    for (ULONG i = 0, n = EngineMixSources(sources); i < n; ++i) {
        if (!sources[i]->IsPrimedForCapture()) {
            sources[i]->MixDirect(Bytes, Buffer);
        }
    }
}

VOID CAdapterCommon::EngineMixQueue(TransferEntry *Entry)
{
    CMixSource *sources[2];
    for (ULONG i = 0, n = EngineMixSources(sources); i < n; ++i) {
        sources[i]->QueuePiece(Entry);
    }
}

VOID CAdapterCommon::EngineMixWithdraw(TransferEntry *Entry)
{
    CMixSource *sources[2];
    for (ULONG i = 0, n = EngineMixSources(sources); i < n; ++i) {
        sources[i]->WithdrawPiece(Entry);
    }
}

VOID CAdapterCommon::EngineMixCommit(ULONG NextFrame)
{
    CMixSource *sources[2];
    for (ULONG i = 0, n = EngineMixSources(sources); i < n; ++i) {
        sources[i]->CommitPiece(NextFrame);
    }
}

VOID CAdapterCommon::EngineMixFromCapture(ULONG Bytes, ULONG NextFrame)
{
    CMixSource *sources[2];
    for (ULONG i = 0, n = EngineMixSources(sources); i < n; ++i) {
        sources[i]->MixFromCapture(Bytes, NextFrame);
    }
}

// The device channel is capture-paced: a channel prepared with inputs has started. Decided from
// the channel itself, not from its mix source, which a capture-only channel never primes.
BOOLEAN CAdapterCommon::EngineAsioCapturePaced()
{
    return m_Channel.HasInputFifo() && m_Channel.IsStarted();
}

VOID CAdapterCommon::EngineRaiseStreamReset() { m_Channel.RaiseStreamReset(); }

VOID CAdapterCommon::EngineChannelCapture(const UCHAR *Data, ULONG Bytes) { m_Channel.CapturePacket(Data, Bytes); }

UCHAR CAdapterCommon::EngineFillByte() { return m_Channel.FillByte(); }

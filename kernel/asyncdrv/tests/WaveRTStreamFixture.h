// Fixture of the WaveRT stream and mix-source tests: a real adapter on the default simulated
// device whose stream starts, prefill and piece queues can be watched or stubbed, the WaveRT
// port and miniport over it, and a port stream that hands out (or refuses) buffer pages.
#pragma once
#include <vector>
#include <ksmedia.h>
#include "AdapterCommon.h"
#include "AsyncDriverFixture.h"
#include "MiniportWaveRT.h"
#include "MiniportWaveRTStream.h"

namespace async_test {

// The port's page service for one stream: pages from the stand-in's page allocator, with an
// MDL short by short_by bytes or a refused mapping on request.
class test_port_stream final : public IPortWaveRTStream {
public:
    ULONG short_by = 0;
    bool fail_map = false;
    ULONG allocated = 0;
    ULONG freed = 0;
    LONG references = 1;

    STDMETHODIMP QueryInterface(REFIID iid, void **object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
    STDMETHODIMP_(PMDL) AllocatePagesForMdl(PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) override;
    STDMETHODIMP_(PMDL) AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS, PHYSICAL_ADDRESS HighAddress,
                                                      SIZE_T TotalBytes) override
    {
        return AllocatePagesForMdl(HighAddress, TotalBytes);
    }
    STDMETHODIMP_(PVOID) MapAllocatedPages(PMDL Mdl, MEMORY_CACHING_TYPE CacheType) override;
    STDMETHODIMP_(void) UnmapAllocatedPages(PVOID BaseAddress, PMDL Mdl) override;
    STDMETHODIMP_(void) FreePagesFromMdl(PMDL Mdl) override;
    STDMETHODIMP_(ULONG) GetPhysicalPagesCount(PMDL) override { return 0; }
    STDMETHODIMP_(PHYSICAL_ADDRESS) GetPhysicalPageAddress(PMDL, ULONG) override { return PHYSICAL_ADDRESS{}; }
};

// One piece the adapter was asked to queue.
struct queued_piece {
    PUCHAR start;
    ULONG length;
};

// The adapter with its stream starts counted and, unless real_start is set, answered without
// touching the device; queued pieces are recorded before they reach the real queues.
class watched_adapter : public CAdapterCommon {
public:
    using CAdapterCommon::CAdapterCommon;

    bool real_start = false;
    NTSTATUS start_result = STATUS_SUCCESS;
    NTSTATUS prefill_result = STATUS_SUCCESS;
    ULONG starts = 0;
    ULONG stops = 0;
    ULONG prefills = 0;
    ULONG prefill_bytes = 0;
    ULONG resets = 0;
    ULONG flushes = 0;
    std::vector<queued_piece> render_pieces;
    std::vector<queued_piece> capture_pieces;

    STDMETHODIMP StartStream(BOOLEAN Capture) override;
    STDMETHODIMP StopStream(BOOLEAN Capture) override;
    STDMETHODIMP SetMixPrefill(BOOLEAN Capture, ULONG Bytes) override;
    STDMETHODIMP ResetMix(BOOLEAN Capture) override;
    STDMETHODIMP QueueRenderBuffer(PUCHAR Buffer, ULONG Length) override;
    STDMETHODIMP QueueCaptureBuffer(PUCHAR Buffer, ULONG Length) override;
    STDMETHODIMP FlushRenderQueue() override;
    STDMETHODIMP FlushCaptureQueue() override;
};

class WaveRTStreamTest : public AsyncDriverTest {
protected:
    void TearDown() override;

    // The default device (or one built from options) at 48000 Hz with the adapter, the port
    // and the miniport over it.
    void init(sim::uac2_options options = {});
    // A stream of the direction in that format; its buffer when buffer_size is non-zero.
    CMiniportWaveRTStream *open(BOOLEAN capture, ULONG channels, ULONG bits, ULONG buffer_size = 0,
                                ULONG notifications = 0);
    // Steps a stream up from STOP to the state, asserting every step.
    void step_up(CMiniportWaveRTStream *stream, KSSTATE to);
    void close(CMiniportWaveRTStream *stream);

    static KSDATAFORMAT_WAVEFORMATEXTENSIBLE wave_format(ULONG rate, ULONG channels, ULONG bits);

    watched_adapter *common = nullptr;
    PPORTWAVERT port = nullptr;
    CMiniportWaveRT *miniport = nullptr;
    test_port_stream port_stream;
    std::vector<CMiniportWaveRTStream *> streams;
    std::vector<std::pair<PMDL, ULONG>> buffers;
};

} // namespace async_test

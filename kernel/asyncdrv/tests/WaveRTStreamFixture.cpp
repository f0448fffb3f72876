// The WaveRT stream fixture: the watched adapter, the test port stream and stream set-up.
#include "WaveRTStreamFixture.h"
#include "AsyncPoolTags.h"

namespace async_test {

STDMETHODIMP test_port_stream::QueryInterface(REFIID iid, void **object)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPortWaveRTStream)) {
        *object = this;
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(PMDL) test_port_stream::AllocatePagesForMdl(PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes)
{
    EXPECT_EQ(0xFFFFFFFFLL, HighAddress.QuadPart);
    PHYSICAL_ADDRESS low{};
    PHYSICAL_ADDRESS skip{};
    PMDL mdl = MmAllocatePagesForMdl(low, HighAddress, skip, TotalBytes - short_by);
    allocated += mdl != nullptr ? 1 : 0;
    return mdl;
}

STDMETHODIMP_(PVOID) test_port_stream::MapAllocatedPages(PMDL Mdl, MEMORY_CACHING_TYPE CacheType)
{
    EXPECT_EQ(MmCached, CacheType);
    if (fail_map) {
        return nullptr;
    }
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, CacheType, nullptr, FALSE, NormalPagePriority);
}

STDMETHODIMP_(void) test_port_stream::UnmapAllocatedPages(PVOID BaseAddress, PMDL Mdl)
{
    MmUnmapLockedPages(BaseAddress, Mdl);
}

STDMETHODIMP_(void) test_port_stream::FreePagesFromMdl(PMDL Mdl)
{
    ++freed;
    MmFreePagesFromMdl(Mdl);
    ExFreePool(Mdl);
}

STDMETHODIMP watched_adapter::StartStream(BOOLEAN Capture)
{
    ++starts;
    return real_start ? CAdapterCommon::StartStream(Capture) : start_result;
}

STDMETHODIMP watched_adapter::StopStream(BOOLEAN Capture)
{
    ++stops;
    return real_start ? CAdapterCommon::StopStream(Capture) : STATUS_SUCCESS;
}

STDMETHODIMP watched_adapter::SetMixPrefill(BOOLEAN Capture, ULONG Bytes)
{
    ++prefills;
    prefill_bytes = Bytes;
    if (!NT_SUCCESS(prefill_result)) {
        return prefill_result;
    }
    return real_start ? CAdapterCommon::SetMixPrefill(Capture, Bytes) : STATUS_SUCCESS;
}

STDMETHODIMP watched_adapter::ResetMix(BOOLEAN Capture)
{
    ++resets;
    return CAdapterCommon::ResetMix(Capture);
}

STDMETHODIMP watched_adapter::QueueRenderBuffer(PUCHAR Buffer, ULONG Length)
{
    render_pieces.push_back({Buffer, Length});
    return CAdapterCommon::QueueRenderBuffer(Buffer, Length);
}

STDMETHODIMP watched_adapter::QueueCaptureBuffer(PUCHAR Buffer, ULONG Length)
{
    capture_pieces.push_back({Buffer, Length});
    return CAdapterCommon::QueueCaptureBuffer(Buffer, Length);
}

STDMETHODIMP watched_adapter::FlushRenderQueue()
{
    ++flushes;
    return CAdapterCommon::FlushRenderQueue();
}

STDMETHODIMP watched_adapter::FlushCaptureQueue()
{
    ++flushes;
    return CAdapterCommon::FlushCaptureQueue();
}

void WaveRTStreamTest::TearDown()
{
    while (!streams.empty()) {
        close(streams.back());
    }
    if (miniport != nullptr) {
        miniport->Release();
    }
    if (port != nullptr) {
        port->Release();
    }
    if (common != nullptr) {
        common->Release();
    }
    EXPECT_EQ(1, port_stream.references);
    EXPECT_EQ(port_stream.allocated, port_stream.freed);
    AsyncDriverTest::TearDown();
}

void WaveRTStreamTest::init(sim::uac2_options options)
{
    attach(sim::build_uac2_device(options));
    store_dword(L"SampleRate", 48000);
    common = new (NonPagedPoolNx, ASYNC_ADAPTER_TAG) watched_adapter(nullptr);
    ASSERT_NE(nullptr, common);
    common->AddRef();
    ASSERT_EQ(STATUS_SUCCESS, common->Init(lower->pdo(), nullptr));
    PPORT plain = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PcNewPort(&plain, CLSID_PortWaveRT));
    ASSERT_EQ(STATUS_SUCCESS, plain->QueryInterface(IID_IPortWaveRT, reinterpret_cast<void **>(&port)));
    plain->Release();
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateMiniportWaveRT(&unknown, CLSID_PortWaveRT, nullptr, NonPagedPoolNx));
    miniport = static_cast<CMiniportWaveRT *>(reinterpret_cast<IMiniportWaveRTExt *>(unknown));
    ASSERT_EQ(STATUS_SUCCESS, miniport->Init(static_cast<IAdapterCommon *>(common), nullptr, port));
}

KSDATAFORMAT_WAVEFORMATEXTENSIBLE WaveRTStreamTest::wave_format(ULONG rate, ULONG channels, ULONG bits)
{
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE format{};
    format.DataFormat.FormatSize = sizeof(format);
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    format.WaveFormatExt.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.WaveFormatExt.Format.nChannels = static_cast<WORD>(channels);
    format.WaveFormatExt.Format.nSamplesPerSec = rate;
    format.WaveFormatExt.Format.wBitsPerSample = static_cast<WORD>(bits);
    format.WaveFormatExt.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.WaveFormatExt.Format.nAvgBytesPerSec = rate * channels * bits / 8;
    format.WaveFormatExt.Format.cbSize = 22;
    format.WaveFormatExt.Samples.wValidBitsPerSample = static_cast<WORD>(bits);
    format.WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

CMiniportWaveRTStream *WaveRTStreamTest::open(BOOLEAN capture, ULONG channels, ULONG bits, ULONG buffer_size,
                                              ULONG notifications)
{
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = wave_format(48000, channels, bits);
    PMINIPORTWAVERTSTREAM created = nullptr;
    NTSTATUS status = miniport->NewStream(&created, &port_stream, 0, capture, &format.DataFormat);
    EXPECT_EQ(STATUS_SUCCESS, status);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    auto stream = static_cast<CMiniportWaveRTStream *>(static_cast<IMiniportWaveRTStreamNotification *>(created));
    streams.push_back(stream);
    buffers.emplace_back(nullptr, 0);
    if (buffer_size != 0) {
        PMDL mdl = nullptr;
        ULONG size = 0, offset = 0xFFFF;
        MEMORY_CACHING_TYPE cache = MmNonCached;
        EXPECT_EQ(STATUS_SUCCESS, stream->AllocateBufferWithNotification(notifications, buffer_size, &mdl, &size,
                                                                         &offset, &cache));
        EXPECT_EQ(buffer_size, size);
        EXPECT_EQ(0u, offset);
        EXPECT_EQ(MmCached, cache);
        buffers.back() = {mdl, size};
    }
    return stream;
}

void WaveRTStreamTest::step_up(CMiniportWaveRTStream *stream, KSSTATE to)
{
    for (LONG state = stream->State() + 1; state <= to; ++state) {
        ASSERT_EQ(STATUS_SUCCESS, stream->SetState(static_cast<KSSTATE>(state)));
    }
}

void WaveRTStreamTest::close(CMiniportWaveRTStream *stream)
{
    for (size_t i = 0; i < streams.size(); ++i) {
        if (streams[i] != stream) {
            continue;
        }
        // The port walks the pin down to STOP and frees the buffer before the last release.
        while (stream->State() != KSSTATE_STOP) {
            stream->SetState(static_cast<KSSTATE>(stream->State() - 1));
        }
        if (buffers[i].first != nullptr) {
            stream->FreeBufferWithNotification(buffers[i].first, buffers[i].second);
        }
        stream->Release();
        streams.erase(streams.begin() + static_cast<std::ptrdiff_t>(i));
        buffers.erase(buffers.begin() + static_cast<std::ptrdiff_t>(i));
        return;
    }
}

} // namespace async_test

// The WaveCyclic miniport and stream against an adapter and a port of the test's own: faces,
// formats accepted and refused, one stream per direction, state steps and what each asks of
// the adapter, positions from the engine's addresses, the DMA channel's copies with the wrap
// split, and the filter's component identifier.
#include <gtest/gtest.h>
#include <cstring>
#include <vector>
#include <ksmedia.h>
#include <platform/machine_state.h>
#include <platform/pool.h>
#include <platform/verifier.h>
#include "MiniportWaveCyclic.h"
#include "StdPoolTags.h"

namespace {

struct piece {
    PUCHAR start;
    ULONG length;
};

// An adapter that records what the miniport asks of it and answers with preset statuses.
class fake_adapter final : public IAdapterCommon {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void **object) override
    {
        if (IsEqualGUID(iid, IID_IAdapterCommon) && answers) {
            *object = static_cast<IAdapterCommon *>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return (ULONG)++references; }
    STDMETHODIMP_(ULONG) Release() override { return (ULONG)--references; }
    STDMETHODIMP Init(PDEVICE_OBJECT) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(void) SetCallback(PMINIPORTCALLBACK Callback) override
    {
        callback = Callback;
        ++callback_sets;
    }
    STDMETHODIMP GetFormatRange(BOOLEAN, PULONG, PULONG, PULONG, PULONG, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP SetStreamFormat(BOOLEAN Capture, ULONG Channels, ULONG Bits, ULONG Rate) override
    {
        formats.push_back({Capture ? 1u : 0u, Channels, Bits, Rate});
        return format_result;
    }
    STDMETHODIMP ChangeStreamFormat(BOOLEAN Capture, ULONG Channels, ULONG Bits, ULONG Rate) override
    {
        changes.push_back({Capture ? 1u : 0u, Channels, Bits, Rate});
        return format_result;
    }
    STDMETHODIMP_(void) ClearStreamFormat(BOOLEAN Capture) override { ++cleared[Capture ? 1 : 0]; }
    STDMETHODIMP StartStream(BOOLEAN Capture) override
    {
        ++starts[Capture ? 1 : 0];
        return start_result;
    }
    STDMETHODIMP StopStream(BOOLEAN Capture) override
    {
        ++stops[Capture ? 1 : 0];
        return stop_result;
    }
    STDMETHODIMP_(void) SetRunEvent(BOOLEAN Capture) override { ++runs[Capture ? 1 : 0]; }
    STDMETHODIMP_(void) ClearRunEvent(BOOLEAN Capture) override { ++pauses[Capture ? 1 : 0]; }
    STDMETHODIMP_(void) QueueRenderBuffer(PUCHAR Buffer, ULONG Length) override
    {
        render_pieces.push_back({Buffer, Length});
    }
    STDMETHODIMP_(void) QueueCaptureBuffer(PUCHAR Buffer, ULONG Length) override
    {
        capture_pieces.push_back({Buffer, Length});
    }
    STDMETHODIMP_(void) FlushRenderQueue() override { ++flushes[0]; }
    STDMETHODIMP_(void) FlushCaptureQueue() override { ++flushes[1]; }
    STDMETHODIMP_(void) SurpriseRemoval() override { removed = TRUE; }
    STDMETHODIMP_(BOOLEAN) IsDeviceRemoved() override { return removed; }

    struct format_call {
        ULONG capture, channels, bits, rate;
    };
    LONG references = 1;
    bool answers = true;
    BOOLEAN removed = FALSE;
    NTSTATUS format_result = STATUS_SUCCESS;
    NTSTATUS start_result = STATUS_SUCCESS;
    NTSTATUS stop_result = STATUS_SUCCESS;
    PMINIPORTCALLBACK callback = nullptr;
    ULONG callback_sets = 0;
    std::vector<format_call> formats;
    std::vector<format_call> changes;
    ULONG cleared[2] = {0, 0}, starts[2] = {0, 0}, stops[2] = {0, 0}, runs[2] = {0, 0}, pauses[2] = {0, 0},
          flushes[2] = {0, 0};
    std::vector<piece> render_pieces;
    std::vector<piece> capture_pieces;
};

// A port that counts the miniport's notifications.
class fake_port final : public IPortWaveCyclic {
public:
    STDMETHODIMP QueryInterface(REFIID, void **object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return (ULONG)++references; }
    STDMETHODIMP_(ULONG) Release() override { return (ULONG)--references; }
    STDMETHODIMP Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(void) Notify(PSERVICEGROUP ServiceGroup) override
    {
        ++notifications;
        last_group = ServiceGroup;
    }

    LONG references = 1;
    ULONG notifications = 0;
    PSERVICEGROUP last_group = nullptr;
};

std::vector<UCHAR> wave_format(ULONG channels, ULONG bits, ULONG rate, USHORT tag = WAVE_FORMAT_PCM)
{
    KSDATAFORMAT_WAVEFORMATEX format{};
    format.DataFormat.FormatSize = sizeof(format);
    format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    format.WaveFormatEx.wFormatTag = tag;
    format.WaveFormatEx.nChannels = (USHORT)channels;
    format.WaveFormatEx.nSamplesPerSec = rate;
    format.WaveFormatEx.wBitsPerSample = (USHORT)bits;
    format.WaveFormatEx.nBlockAlign = (USHORT)(channels * bits / 8);
    std::vector<UCHAR> bytes(sizeof(format));
    std::memcpy(bytes.data(), &format, sizeof(format));
    return bytes;
}

PKSDATAFORMAT as_format(std::vector<UCHAR> &bytes) { return reinterpret_cast<PKSDATAFORMAT>(bytes.data()); }

class MiniportWaveCyclicTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        PUNKNOWN unknown = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, CreateMiniportWaveCyclic(&unknown, CLSID_PortWaveCyclic, nullptr, NonPagedPoolNx));
        ASSERT_EQ(STATUS_SUCCESS, unknown->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<void **>(&miniport)));
        unknown->Release();
    }

    void TearDown() override
    {
        release_streams();
        if (miniport != nullptr) {
            miniport->Release();
        }
        EXPECT_EQ(1, adapter.references);
        EXPECT_EQ(1, port.references);
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(STD_TAG));
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(STD_ADAPTER_TAG));
        std::string why;
        EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
        platform::machine_shutdown();
    }

    void init() { ASSERT_EQ(STATUS_SUCCESS, miniport->Init(&adapter, nullptr, &port)); }

    NTSTATUS new_stream(BOOLEAN capture, std::vector<UCHAR> format = wave_format(2, 16, 48000))
    {
        PMINIPORTWAVECYCLICSTREAM created = nullptr;
        PDMACHANNEL dma = nullptr;
        PSERVICEGROUP group = nullptr;
        NTSTATUS status = miniport->NewStream(&created, nullptr, NonPagedPoolNx, capture ? 0 : 2, capture,
                                              as_format(format), &dma, &group);
        if (NT_SUCCESS(status)) {
            stream = created;
            channel = dma;
            service_group = group;
        } else {
            EXPECT_EQ(nullptr, created);
            EXPECT_EQ(nullptr, dma);
            EXPECT_EQ(nullptr, group);
        }
        return status;
    }

    void release_streams()
    {
        if (service_group != nullptr) {
            service_group->Release();
            service_group = nullptr;
        }
        if (channel != nullptr) {
            channel->Release();
            channel = nullptr;
        }
        if (stream != nullptr) {
            stream->Release();
            stream = nullptr;
        }
    }

    PUCHAR buffer() { return static_cast<PUCHAR>(channel->SystemAddress()); }

    fake_adapter adapter;
    fake_port port;
    PMINIPORTWAVECYCLIC miniport = nullptr;
    PMINIPORTWAVECYCLICSTREAM stream = nullptr;
    PDMACHANNEL channel = nullptr;
    PSERVICEGROUP service_group = nullptr;
};

TEST_F(MiniportWaveCyclicTest, InitRegistersTheCallbackFaceAndReleaseWithdrawsIt)
{
    init();
    EXPECT_EQ(2, adapter.references);
    EXPECT_EQ(2, port.references);
    ASSERT_NE(nullptr, adapter.callback);
    PMINIPORTCALLBACK face = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, miniport->QueryInterface(IID_IMiniportCallback, reinterpret_cast<void **>(&face)));
    EXPECT_EQ(face, adapter.callback);
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, miniport->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&unknown)));
    EXPECT_EQ(static_cast<IUnknown *>(face), unknown);
    PMINIPORT base = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, miniport->QueryInterface(IID_IMiniport, reinterpret_cast<void **>(&base)));
    EXPECT_EQ(static_cast<IMiniport *>(miniport), base);
    void *other = reinterpret_cast<void *>(1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, miniport->QueryInterface(IID_IDmaChannel, &other));
    EXPECT_EQ(nullptr, other);
    face->Release();
    unknown->Release();
    base->Release();

    miniport->Release();
    miniport = nullptr;
    EXPECT_EQ(nullptr, adapter.callback);
    EXPECT_EQ(2u, adapter.callback_sets);
}

TEST_F(MiniportWaveCyclicTest, InitWithoutAnAdapterInterfaceHoldsNothing)
{
    adapter.answers = false;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, miniport->Init(&adapter, nullptr, &port));
    EXPECT_EQ(1, adapter.references);
    EXPECT_EQ(1, port.references);
    EXPECT_EQ(0u, adapter.callback_sets);
}

TEST_F(MiniportWaveCyclicTest, FilterDescribesTwoStreamsWithTheirBridges)
{
    init();
    PPCFILTER_DESCRIPTOR filter = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, miniport->GetDescription(&filter));
    ASSERT_EQ(4u, filter->PinCount);
    EXPECT_EQ(2u, filter->NodeCount);
    EXPECT_EQ(4u, filter->ConnectionCount);
    EXPECT_EQ(0u, filter->CategoryCount);
    const KSPIN_DATAFLOW flows[] = {KSPIN_DATAFLOW_OUT, KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT};
    const KSPIN_COMMUNICATION comms[] = {KSPIN_COMMUNICATION_SINK, KSPIN_COMMUNICATION_NONE,
                                         KSPIN_COMMUNICATION_SINK, KSPIN_COMMUNICATION_NONE};
    for (ULONG i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const KSPIN_DESCRIPTOR &pin = filter->Pins[i].KsPinDescriptor;
        EXPECT_EQ(flows[i], pin.DataFlow);
        EXPECT_EQ(comms[i], pin.Communication);
        ASSERT_EQ(1u, pin.DataRangesCount);
        EXPECT_EQ(i % 2 == 0 ? 1u : 0u, filter->Pins[i].MaxFilterInstanceCount);
    }
    const auto *range = reinterpret_cast<const KSDATARANGE_AUDIO *>(filter->Pins[0].KsPinDescriptor.DataRanges[0]);
    EXPECT_EQ(2u, range->MaximumChannels);
    EXPECT_EQ(16u, range->MinimumBitsPerSample);
    EXPECT_EQ(16u, range->MaximumBitsPerSample);
    EXPECT_EQ(44100u, range->MinimumSampleFrequency);
    EXPECT_EQ(48000u, range->MaximumSampleFrequency);
    EXPECT_EQ(STATUS_NOT_IMPLEMENTED, miniport->DataRangeIntersection(0, nullptr, nullptr, 0, nullptr, nullptr));
}

TEST_F(MiniportWaveCyclicTest, NewStreamAcceptsOnlySixteenBitStereoAtTheTwoRates)
{
    init();
    struct row {
        ULONG channels, bits, rate;
        USHORT tag;
        NTSTATUS expected;
    } const rows[] = {
        {2, 16, 44100, WAVE_FORMAT_PCM, STATUS_SUCCESS},         {2, 16, 48000, WAVE_FORMAT_PCM, STATUS_SUCCESS},
        {2, 16, 48000, WAVE_FORMAT_EXTENSIBLE, STATUS_SUCCESS},  {1, 16, 48000, WAVE_FORMAT_PCM, STATUS_INVALID_PARAMETER},
        {2, 24, 48000, WAVE_FORMAT_PCM, STATUS_INVALID_PARAMETER}, {2, 16, 96000, WAVE_FORMAT_PCM, STATUS_INVALID_PARAMETER},
        {2, 16, 48000, 3, STATUS_INVALID_PARAMETER},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.channels << "ch " << r.bits << "bit " << r.rate << " tag " << r.tag);
        adapter.formats.clear();
        EXPECT_EQ(r.expected, new_stream(FALSE, wave_format(r.channels, r.bits, r.rate, r.tag)));
        if (r.expected == STATUS_SUCCESS) {
            ASSERT_EQ(1u, adapter.formats.size());
            EXPECT_EQ(0u, adapter.formats[0].capture);
            EXPECT_EQ(r.channels, adapter.formats[0].channels);
            EXPECT_EQ(r.bits, adapter.formats[0].bits);
            EXPECT_EQ(r.rate, adapter.formats[0].rate);
            EXPECT_EQ(STD_CYCLIC_BUFFER_SIZE, channel->BufferSize());
            EXPECT_EQ(port.last_group, nullptr);
            release_streams();
            EXPECT_EQ(1u, adapter.cleared[0]);
            adapter.cleared[0] = 0;
        } else {
            EXPECT_TRUE(adapter.formats.empty());
        }
    }
    std::vector<UCHAR> video = wave_format(2, 16, 48000);
    as_format(video)->MajorFormat = KSDATAFORMAT_SUBTYPE_PCM;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, new_stream(TRUE, video));
}

TEST_F(MiniportWaveCyclicTest, OneStreamPerDirectionAndNoneAfterRemoval)
{
    init();
    ASSERT_EQ(STATUS_SUCCESS, new_stream(TRUE));
    PMINIPORTWAVECYCLICSTREAM first = stream;
    PDMACHANNEL first_channel = channel;
    PSERVICEGROUP first_group = service_group;
    stream = nullptr;
    channel = nullptr;
    service_group = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, new_stream(TRUE));
    ASSERT_EQ(STATUS_SUCCESS, new_stream(FALSE));
    release_streams();
    first_group->Release();
    first_channel->Release();
    first->Release();
    ASSERT_EQ(STATUS_SUCCESS, new_stream(TRUE));
    release_streams();

    adapter.format_result = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(STATUS_NOT_SUPPORTED, new_stream(TRUE));
    adapter.format_result = STATUS_SUCCESS;
    adapter.removed = TRUE;
    EXPECT_EQ(STATUS_DEVICE_REMOVED, new_stream(TRUE));
}

TEST_F(MiniportWaveCyclicTest, StateStepsReachTheAdapterAndIllegalStepsAreRefused)
{
    init();
    ASSERT_EQ(STATUS_SUCCESS, new_stream(TRUE));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->SetState(KSSTATE_RUN));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->SetState(KSSTATE_PAUSE));
    EXPECT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_STOP));

    adapter.start_result = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, stream->SetState(KSSTATE_ACQUIRE));
    EXPECT_TRUE(adapter.capture_pieces.empty());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->SetState(KSSTATE_PAUSE));
    adapter.start_result = STATUS_SUCCESS;

    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));
    EXPECT_EQ(2u, adapter.starts[1]);
    ASSERT_EQ(1u, adapter.capture_pieces.size());
    EXPECT_EQ(buffer(), adapter.capture_pieces[0].start);
    EXPECT_EQ(STD_CYCLIC_BUFFER_SIZE, adapter.capture_pieces[0].length);
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_RUN));
    EXPECT_EQ(1u, adapter.runs[1]);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->SetState(KSSTATE_ACQUIRE));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    EXPECT_EQ(1u, adapter.pauses[1]);
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));

    adapter.stop_result = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, stream->SetState(KSSTATE_STOP));
    EXPECT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    EXPECT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));
    adapter.stop_result = STATUS_SUCCESS;
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_STOP));
    EXPECT_EQ(2u, adapter.stops[1]);
    EXPECT_EQ(2u, adapter.flushes[1]);
    EXPECT_EQ(0u, adapter.flushes[0]);
}

TEST_F(MiniportWaveCyclicTest, AfterRemovalStopStillSucceedsAndTheRestReportsRemoval)
{
    init();
    ASSERT_EQ(STATUS_SUCCESS, new_stream(FALSE));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));
    adapter.removed = TRUE;
    adapter.stop_result = STATUS_DELETE_PENDING;
    EXPECT_EQ(STATUS_DEVICE_REMOVED, stream->SetState(KSSTATE_PAUSE));
    ULONG position = 77;
    EXPECT_EQ(STATUS_DEVICE_REMOVED, stream->GetPosition(&position));
    EXPECT_EQ(77u, position);
    LONGLONG physical = 4;
    EXPECT_EQ(STATUS_DEVICE_REMOVED, stream->NormalizePhysicalPosition(&physical));
    std::vector<UCHAR> format = wave_format(2, 16, 44100);
    EXPECT_EQ(STATUS_DEVICE_REMOVED, stream->SetFormat(as_format(format)));
    EXPECT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_STOP));
    EXPECT_EQ(STATUS_DEVICE_REMOVED, stream->SetState(KSSTATE_ACQUIRE));
    EXPECT_EQ(1u, adapter.starts[0]);
}

TEST_F(MiniportWaveCyclicTest, FormatChangesOnlyInStopThroughTheChangeSlot)
{
    init();
    ASSERT_EQ(STATUS_SUCCESS, new_stream(FALSE));
    std::vector<UCHAR> format = wave_format(2, 16, 44100);
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_RUN));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, stream->SetFormat(as_format(format)));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_STOP));
    EXPECT_TRUE(adapter.changes.empty());

    std::vector<UCHAR> bare = format;
    as_format(bare)->Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, stream->SetFormat(as_format(bare)));
    std::vector<UCHAR> silent = wave_format(0, 16, 44100);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->SetFormat(as_format(silent)));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetFormat(as_format(format)));
    ASSERT_EQ(1u, adapter.changes.size());
    EXPECT_EQ(44100u, adapter.changes[0].rate);
    LONGLONG physical = 44100 * 4;
    ASSERT_EQ(STATUS_SUCCESS, stream->NormalizePhysicalPosition(&physical));
    EXPECT_EQ(10000000, physical);
}

TEST_F(MiniportWaveCyclicTest, NotificationFramingAndSilence)
{
    init();
    ASSERT_EQ(STATUS_SUCCESS, new_stream(FALSE));
    ULONG framing = 0;
    EXPECT_EQ(10u, stream->SetNotificationFreq(10, &framing));
    EXPECT_EQ(1920u, framing);
    UCHAR bytes[6];
    std::memset(bytes, 0x55, sizeof(bytes));
    stream->Silence(bytes, 4);
    const UCHAR expected[6] = {0, 0, 0, 0, 0x55, 0x55};
    EXPECT_EQ(0, std::memcmp(expected, bytes, sizeof(bytes)));
}

TEST_F(MiniportWaveCyclicTest, DmaChannelReportsItsBuffer)
{
    init();
    ASSERT_EQ(STATUS_SUCCESS, new_stream(FALSE));
    // The stream object and its buffer take plain non-paged pool whatever the port offers: the
    // driver also runs on systems without no-execute pool.
    EXPECT_EQ(2u, platform::pool_outstanding_blocks_of_type(NonPagedPool, STD_TAG));
    EXPECT_EQ(0u, platform::pool_outstanding_blocks_of_type(NonPagedPoolNx, STD_TAG));
    EXPECT_EQ(STD_CYCLIC_BUFFER_SIZE, channel->AllocatedBufferSize());
    EXPECT_EQ(STD_CYCLIC_BUFFER_SIZE, channel->TransferCount());
    EXPECT_EQ(STD_CYCLIC_BUFFER_SIZE, channel->MaximumBufferSize());
    channel->SetBufferSize(STD_CYCLIC_BUFFER_SIZE + 4);
    EXPECT_EQ(STD_CYCLIC_BUFFER_SIZE, channel->BufferSize());
    channel->SetBufferSize(4800);
    EXPECT_EQ(4800u, channel->BufferSize());
    EXPECT_EQ((LONGLONG)(ULONG_PTR)buffer(), channel->PhysicalAddress().QuadPart);
    EXPECT_EQ(nullptr, channel->GetAdapterObject());
    PDMACHANNEL face = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, stream->QueryInterface(IID_IDmaChannel, reinterpret_cast<void **>(&face)));
    EXPECT_EQ(channel, face);
    face->Release();
}

TEST_F(MiniportWaveCyclicTest, CopyToQueuesTheRegionAndSplitsItAtTheBufferEnd)
{
    init();
    ASSERT_EQ(STATUS_SUCCESS, new_stream(FALSE));
    std::vector<UCHAR> source(400);
    for (size_t i = 0; i < source.size(); ++i) {
        source[i] = (UCHAR)(i + 1);
    }
    channel->CopyTo(buffer() + 100, source.data(), 200);
    ASSERT_EQ(1u, adapter.render_pieces.size());
    EXPECT_EQ(buffer() + 100, adapter.render_pieces[0].start);
    EXPECT_EQ(200u, adapter.render_pieces[0].length);

    adapter.render_pieces.clear();
    channel->CopyTo(buffer() + STD_CYCLIC_BUFFER_SIZE - 160, source.data(), 400);
    ASSERT_EQ(2u, adapter.render_pieces.size());
    EXPECT_EQ(buffer() + STD_CYCLIC_BUFFER_SIZE - 160, adapter.render_pieces[0].start);
    EXPECT_EQ(160u, adapter.render_pieces[0].length);
    EXPECT_EQ(buffer(), adapter.render_pieces[1].start);
    EXPECT_EQ(240u, adapter.render_pieces[1].length);
    EXPECT_EQ(0, std::memcmp(buffer() + STD_CYCLIC_BUFFER_SIZE - 160, source.data(), 160));
    EXPECT_EQ(0, std::memcmp(buffer(), source.data() + 160, 240));

    // A count beyond the buffer never runs over the region it just wrote.
    adapter.render_pieces.clear();
    std::vector<UCHAR> huge(2 * STD_CYCLIC_BUFFER_SIZE, 0xAB);
    channel->CopyTo(buffer() + 4000, huge.data(), (ULONG)huge.size());
    ASSERT_EQ(2u, adapter.render_pieces.size());
    EXPECT_EQ(STD_CYCLIC_BUFFER_SIZE - 4000, adapter.render_pieces[0].length);
    EXPECT_EQ(4000u, adapter.render_pieces[1].length);
    adapter.render_pieces.clear();
    channel->CopyTo(buffer() + STD_CYCLIC_BUFFER_SIZE, source.data(), 4);
    channel->CopyTo(buffer() - 4, source.data(), 4);
    EXPECT_TRUE(adapter.render_pieces.empty());
}

TEST_F(MiniportWaveCyclicTest, CopyFromHandsTheRegionBackForRefilling)
{
    init();
    ASSERT_EQ(STATUS_SUCCESS, new_stream(TRUE));
    for (ULONG i = 0; i < STD_CYCLIC_BUFFER_SIZE; ++i) {
        buffer()[i] = (UCHAR)(i * 7);
    }
    std::vector<UCHAR> out(300, 0xEE);
    channel->CopyFrom(out.data(), buffer() + STD_CYCLIC_BUFFER_SIZE - 100, 300);
    ASSERT_EQ(2u, adapter.capture_pieces.size());
    EXPECT_EQ(buffer() + STD_CYCLIC_BUFFER_SIZE - 100, adapter.capture_pieces[0].start);
    EXPECT_EQ(100u, adapter.capture_pieces[0].length);
    EXPECT_EQ(buffer(), adapter.capture_pieces[1].start);
    EXPECT_EQ(200u, adapter.capture_pieces[1].length);
    EXPECT_EQ(0, std::memcmp(out.data(), buffer() + STD_CYCLIC_BUFFER_SIZE - 100, 100));
    EXPECT_EQ(0, std::memcmp(out.data() + 100, buffer(), 200));
}

TEST_F(MiniportWaveCyclicTest, CallbackPositionsAndNotificationsFollowTheLiveStreams)
{
    init();
    PMINIPORTCALLBACK callback = adapter.callback;
    callback->NotifyStream(FALSE);
    EXPECT_EQ(0u, port.notifications);
    ASSERT_EQ(STATUS_SUCCESS, new_stream(FALSE));
    callback->NotifyStream(TRUE);
    EXPECT_EQ(0u, port.notifications);
    callback->NotifyStream(FALSE);
    EXPECT_EQ(1u, port.notifications);
    EXPECT_EQ(service_group, port.last_group);

    ULONG position = 0;
    callback->SetRenderPosition(buffer() + 1920);
    ASSERT_EQ(STATUS_SUCCESS, stream->GetPosition(&position));
    EXPECT_EQ(1920u, position);
    callback->SetRenderPosition(buffer() + STD_CYCLIC_BUFFER_SIZE);
    ASSERT_EQ(STATUS_SUCCESS, stream->GetPosition(&position));
    EXPECT_EQ(0u, position);
    callback->SetRenderPosition(buffer() + STD_CYCLIC_BUFFER_SIZE + 8);
    callback->SetCapturePosition(buffer() + 40);
    ASSERT_EQ(STATUS_SUCCESS, stream->GetPosition(&position));
    EXPECT_EQ(0u, position);

    release_streams();
    callback->NotifyStream(FALSE);
    EXPECT_EQ(1u, port.notifications);
}

TEST_F(MiniportWaveCyclicTest, ReleasingARunningStreamWalksItDownToStop)
{
    init();
    ASSERT_EQ(STATUS_SUCCESS, new_stream(FALSE));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_RUN));
    release_streams();
    EXPECT_EQ(1u, adapter.pauses[0]);
    EXPECT_EQ(1u, adapter.flushes[0]);
    EXPECT_EQ(1u, adapter.stops[0]);
    EXPECT_EQ(1u, adapter.cleared[0]);
    ASSERT_EQ(STATUS_SUCCESS, new_stream(FALSE));
}

TEST_F(MiniportWaveCyclicTest, ComponentIdAnswersBySize)
{
    KSCOMPONENTID id;
    PCPROPERTY_REQUEST request{};
    request.Verb = KSPROPERTY_TYPE_GET;
    request.ValueSize = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, PropertyHandlerStdComponentId(&request));
    EXPECT_EQ(sizeof(KSCOMPONENTID), request.ValueSize);
    for (ULONG size : {4u, 71u, 73u}) {
        SCOPED_TRACE(size);
        std::vector<UCHAR> value(size);
        request.Value = value.data();
        request.ValueSize = size;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, PropertyHandlerStdComponentId(&request));
        EXPECT_EQ(0u, request.ValueSize);
    }
    std::memset(&id, 0xCC, sizeof(id));
    request.Value = &id;
    request.ValueSize = sizeof(id);
    ASSERT_EQ(STATUS_SUCCESS, PropertyHandlerStdComponentId(&request));
    EXPECT_EQ(1u, id.Version);
    EXPECT_EQ(0u, id.Revision);
    EXPECT_EQ(GUID_NULL, id.Component);
    EXPECT_EQ(0xD5A47FA8u, id.Manufacturer.Data1);
    EXPECT_EQ(0x7F9A48F5u, id.Product.Data1);
    EXPECT_EQ(0xCBE1D1C9u, id.Name.Data1);

    request.Verb = KSPROPERTY_TYPE_BASICSUPPORT;
    KSPROPERTY_DESCRIPTION description;
    std::memset(&description, 0xCC, sizeof(description));
    request.Value = &description;
    request.ValueSize = sizeof(description);
    ASSERT_EQ(STATUS_SUCCESS, PropertyHandlerStdComponentId(&request));
    EXPECT_EQ(0x201u, description.AccessFlags);
    EXPECT_EQ(40u, description.DescriptionSize);
    EXPECT_EQ(GUID_NULL, description.PropTypeSet.Set);
    EXPECT_EQ(0u, description.MembersListCount);
    ULONG flags[2] = {0, 0xCCCCCCCC};
    request.Value = flags;
    request.ValueSize = 39;
    ASSERT_EQ(STATUS_SUCCESS, PropertyHandlerStdComponentId(&request));
    EXPECT_EQ(0x201u, flags[0]);
    EXPECT_EQ(0xCCCCCCCCu, flags[1]);
    EXPECT_EQ(sizeof(ULONG), request.ValueSize);
    request.ValueSize = 3;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, PropertyHandlerStdComponentId(&request));
}

} // namespace

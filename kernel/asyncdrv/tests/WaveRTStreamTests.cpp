// CMiniportWaveRTStream against a watched adapter: buffer allocation from the MDL, spans
// queued across the wrap, positions, notification events, state steps with the adapter's
// start and prefill behind them, format checks and the DRM face.
#include "WaveRTStreamFixture.h"
#include <platform/pool.h>
#include "AsyncPoolTags.h"

namespace async_test {
namespace {

class notification_event {
public:
    notification_event() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    // Whether the event was signalled since the last call.
    bool fired()
    {
        bool signalled = KeReadStateEvent(&event) != 0;
        KeClearEvent(&event);
        return signalled;
    }
    KEVENT event;
};

TEST_F(WaveRTStreamTest, QueuedSpansSplitAtTheWrapOnlyWhileRunning)
{
    init();
    CMiniportWaveRTStream *stream = open(FALSE, 2, 16, 4096);
    ASSERT_NE(nullptr, stream);
    PUCHAR base = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(buffers[0].first, NormalPagePriority));

    miniport->QueueStreamData(FALSE, 100);
    step_up(stream, KSSTATE_PAUSE);
    miniport->QueueStreamData(FALSE, 100);
    EXPECT_TRUE(common->render_pieces.empty()) << "the gate opens only in RUN";

    step_up(stream, KSSTATE_RUN);
    miniport->QueueStreamData(FALSE, 3800);
    miniport->QueueStreamData(FALSE, 1000);
    miniport->QueueStreamData(FALSE, 0);
    miniport->QueueStreamData(FALSE, 100);
    ASSERT_EQ(4u, common->render_pieces.size());
    EXPECT_EQ(base, common->render_pieces[0].start);
    EXPECT_EQ(3800u, common->render_pieces[0].length);
    EXPECT_EQ(base + 3800, common->render_pieces[1].start);
    EXPECT_EQ(296u, common->render_pieces[1].length);
    EXPECT_EQ(base, common->render_pieces[2].start);
    EXPECT_EQ(704u, common->render_pieces[2].length);
    EXPECT_EQ(base + 704, common->render_pieces[3].start);
    EXPECT_EQ(100u, common->render_pieces[3].length);

    // More than one buffer is cut to one buffer: 4096 from offset 804.
    common->render_pieces.clear();
    miniport->QueueStreamData(FALSE, 10000);
    ASSERT_EQ(2u, common->render_pieces.size());
    EXPECT_EQ(base + 804, common->render_pieces[0].start);
    EXPECT_EQ(4096u - 804, common->render_pieces[0].length);
    EXPECT_EQ(804u, common->render_pieces[1].length);
    EXPECT_TRUE(common->capture_pieces.empty());

    common->render_pieces.clear();
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    miniport->QueueStreamData(FALSE, 100);
    EXPECT_TRUE(common->render_pieces.empty());
    // Back to RUN through ACQUIRE: the offsets start again at the buffer's start.
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));
    step_up(stream, KSSTATE_RUN);
    miniport->QueueStreamData(FALSE, 100);
    ASSERT_EQ(1u, common->render_pieces.size());
    EXPECT_EQ(base, common->render_pieces[0].start);
}

TEST_F(WaveRTStreamTest, CaptureSpansGoToTheCaptureQueue)
{
    init();
    CMiniportWaveRTStream *stream = open(TRUE, 2, 16, 4096);
    ASSERT_NE(nullptr, stream);
    step_up(stream, KSSTATE_RUN);
    miniport->QueueStreamData(TRUE, 3800);
    miniport->QueueStreamData(TRUE, 1000);
    ASSERT_EQ(3u, common->capture_pieces.size());
    EXPECT_EQ(296u, common->capture_pieces[1].length);
    EXPECT_EQ(704u, common->capture_pieces[2].length);
    EXPECT_EQ(common->capture_pieces[0].start, common->capture_pieces[2].start);
    EXPECT_TRUE(common->render_pieces.empty());
}

TEST_F(WaveRTStreamTest, QueueingWithoutABufferDoesNothing)
{
    init();
    CMiniportWaveRTStream *stream = open(FALSE, 2, 16);
    ASSERT_NE(nullptr, stream);
    step_up(stream, KSSTATE_RUN);
    miniport->QueueStreamData(FALSE, 1000);
    miniport->AdvancePosition(FALSE, 1000);
    EXPECT_TRUE(common->render_pieces.empty());
    KSAUDIO_POSITION position{7, 7};
    EXPECT_EQ(STATUS_SUCCESS, stream->GetPosition(&position));
    EXPECT_EQ(0u, position.PlayOffset);
    EXPECT_EQ(0u, position.WriteOffset);
}

TEST_F(WaveRTStreamTest, PositionNamesTheLastByteMoved)
{
    init();
    CMiniportWaveRTStream *stream = open(FALSE, 2, 16, 4096);
    ASSERT_NE(nullptr, stream);
    step_up(stream, KSSTATE_PAUSE);
    KSAUDIO_POSITION position{};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->GetPosition(nullptr));
    ASSERT_EQ(STATUS_SUCCESS, stream->GetPosition(&position));
    EXPECT_EQ(4095u, position.PlayOffset);
    EXPECT_EQ(4095u, position.WriteOffset);
    miniport->AdvancePosition(FALSE, 100);
    ASSERT_EQ(STATUS_SUCCESS, stream->GetPosition(&position));
    EXPECT_EQ(99u, position.PlayOffset);
    miniport->AdvancePosition(FALSE, 4096 * 3 + 4000);
    ASSERT_EQ(STATUS_SUCCESS, stream->GetPosition(&position));
    EXPECT_EQ(3u, position.PlayOffset);
    EXPECT_EQ(3u, position.WriteOffset);
}

TEST_F(WaveRTStreamTest, TwoNotificationsPerBufferFireAtHalfAndWrap)
{
    init();
    CMiniportWaveRTStream *stream = open(FALSE, 2, 16, 4096, 2);
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(2u, stream->NotificationCount());
    notification_event first, second;
    ASSERT_EQ(STATUS_SUCCESS, stream->RegisterNotificationEvent(&first.event));
    ASSERT_EQ(STATUS_SUCCESS, stream->RegisterNotificationEvent(&second.event));
    step_up(stream, KSSTATE_RUN);

    struct step {
        ULONG bytes;
        bool fires;
        const char *label;
    };
    const step steps[] = {
        {1000, false, "0 -> 1000, first update"},
        {1100, true, "1000 -> 2100 passes the half"},
        {900, false, "2100 -> 3000"},
        {1596, true, "3000 -> 500 wraps"},
        {0, false, "no bytes, no update"},
        {3596, false, "500 -> 0 lands on the wrap: noticed one update later"},
        {100, true, "0 -> 100 carries the late wrap"},
        {1948, false, "100 -> 2048 reaches but does not pass the half"},
        {1, true, "2048 -> 2049 passes it"},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.label);
        miniport->AdvancePosition(FALSE, s.bytes);
        EXPECT_EQ(s.fires, first.fired());
        EXPECT_EQ(s.fires, second.fired());
    }

    EXPECT_EQ(STATUS_SUCCESS, stream->UnregisterNotificationEvent(&second.event));
    miniport->AdvancePosition(FALSE, 4000);
    EXPECT_TRUE(first.fired());
    EXPECT_FALSE(second.fired());
}

TEST_F(WaveRTStreamTest, NotificationCountsOtherThanTwo)
{
    init();
    for (ULONG count : {1u, 0u, 3u}) {
        SCOPED_TRACE(count);
        CMiniportWaveRTStream *stream = open(FALSE, 2, 16, 4096, count);
        ASSERT_NE(nullptr, stream);
        notification_event event;
        ASSERT_EQ(STATUS_SUCCESS, stream->RegisterNotificationEvent(&event.event));
        step_up(stream, KSSTATE_RUN);
        miniport->AdvancePosition(FALSE, 1000);
        miniport->AdvancePosition(FALSE, 1100);
        EXPECT_FALSE(event.fired()) << "passing the half";
        miniport->AdvancePosition(FALSE, 2500);
        EXPECT_EQ(count == 1, event.fired()) << "the wrap";
        ASSERT_EQ(STATUS_SUCCESS, stream->UnregisterNotificationEvent(&event.event));
        close(stream);
    }
}

TEST_F(WaveRTStreamTest, EventRegistrationRules)
{
    init();
    CMiniportWaveRTStream *stream = open(FALSE, 2, 16, 4096, 1);
    ASSERT_NE(nullptr, stream);
    notification_event event, other;
    EXPECT_EQ(STATUS_NOT_FOUND, stream->UnregisterNotificationEvent(&event.event));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->RegisterNotificationEvent(nullptr));
    ASSERT_EQ(STATUS_SUCCESS, stream->RegisterNotificationEvent(&event.event));
    EXPECT_EQ(STATUS_NOT_FOUND, stream->UnregisterNotificationEvent(&other.event));
    // A second registration of the same event removes the first and fails.
    EXPECT_EQ(STATUS_UNSUCCESSFUL, stream->RegisterNotificationEvent(&event.event));
    EXPECT_EQ(STATUS_NOT_FOUND, stream->UnregisterNotificationEvent(&event.event));

    ASSERT_EQ(STATUS_SUCCESS, stream->RegisterNotificationEvent(&other.event));
    platform::pool_fail_tag(ASYNC_TAG);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, stream->RegisterNotificationEvent(&event.event));
    platform::pool_fail_tag(0);
    // A registration the port never removed is freed with the stream.
}

TEST_F(WaveRTStreamTest, StateStepsStartAndStopTheAdapter)
{
    init();
    CMiniportWaveRTStream *stream = open(FALSE, 2, 16, 4096);
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_STOP));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->SetState(KSSTATE_RUN));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->SetState(KSSTATE_PAUSE));
    EXPECT_EQ(KSSTATE_STOP, stream->State());
    EXPECT_EQ(0u, common->starts);

    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));
    EXPECT_EQ(0u, common->starts);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->SetState(KSSTATE_RUN));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    EXPECT_EQ(1u, common->starts);
    EXPECT_EQ(1u, common->prefills);
    EXPECT_EQ(4096u, common->prefill_bytes);
    EXPECT_EQ(0u, common->resets);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->SetState(KSSTATE_STOP));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_RUN));
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    EXPECT_EQ(0u, common->stops);
    ULONG flushes = common->flushes;
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));
    EXPECT_EQ(1u, common->stops);
    EXPECT_EQ(1u, common->resets);
    EXPECT_EQ(flushes + 1, common->flushes);
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_STOP));
    EXPECT_EQ(1u, common->starts);
}

TEST_F(WaveRTStreamTest, FailedStartsUndoOnlyWhatStarted)
{
    init();
    CMiniportWaveRTStream *stream = open(FALSE, 2, 16, 4096);
    ASSERT_NE(nullptr, stream);
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_ACQUIRE));

    // A start the adapter refused holds no run count, so nothing is stopped.
    common->start_result = STATUS_DEVICE_BUSY;
    EXPECT_EQ(STATUS_DEVICE_BUSY, stream->SetState(KSSTATE_PAUSE));
    EXPECT_EQ(KSSTATE_ACQUIRE, stream->State());
    EXPECT_EQ(1u, common->resets);
    EXPECT_EQ(0u, common->stops);
    EXPECT_EQ(0u, common->prefills);

    common->start_result = STATUS_SUCCESS;
    common->prefill_result = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(STATUS_NOT_SUPPORTED, stream->SetState(KSSTATE_PAUSE));
    EXPECT_EQ(KSSTATE_ACQUIRE, stream->State());
    EXPECT_EQ(2u, common->resets);
    EXPECT_EQ(1u, common->stops);

    common->prefill_result = STATUS_SUCCESS;
    EXPECT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    EXPECT_EQ(3u, common->starts);
}

TEST_F(WaveRTStreamTest, TeardownWalksARunningStreamDown)
{
    init();
    CMiniportWaveRTStream *stream = open(FALSE, 2, 16, 4096);
    ASSERT_NE(nullptr, stream);
    step_up(stream, KSSTATE_RUN);
    // The port's last release without any state step.
    stream->FreeBufferWithNotification(buffers[0].first, buffers[0].second);
    buffers.clear();
    streams.clear();
    stream->Release();
    EXPECT_EQ(1u, common->stops);
    EXPECT_EQ(1u, common->resets);
    EXPECT_FALSE(miniport->LockStream(FALSE));
    // Format and reservation are given back: a DSD hold needs the device free.
    EXPECT_EQ(STATUS_SUCCESS, common->ReserveStreams(TRUE, TRUE, TRUE));
    common->ReleaseStreams(TRUE, TRUE);
    EXPECT_EQ(0u, common->StreamFormat(FALSE).SampleRate);
}

TEST_F(WaveRTStreamTest, BufferIsWhatTheMdlDescribes)
{
    init();
    CMiniportWaveRTStream *stream = open(FALSE, 2, 16);
    ASSERT_NE(nullptr, stream);
    PMDL mdl = nullptr;
    ULONG size = 0xDEAD, offset = 0xDEAD;
    MEMORY_CACHING_TYPE cache = MmNonCached;

    port_stream.short_by = 96;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, stream->AllocateAudioBuffer(4096, &mdl, &size, &offset, &cache));
    EXPECT_EQ(nullptr, mdl);
    EXPECT_EQ(0xDEADu, size);
    port_stream.short_by = 0;
    port_stream.fail_map = true;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, stream->AllocateAudioBuffer(4096, &mdl, &size, &offset, &cache));
    port_stream.fail_map = false;
    EXPECT_EQ(2u, port_stream.freed) << "refused pages go back to the port";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, stream->AllocateAudioBuffer(0, &mdl, &size, &offset, &cache));
    EXPECT_EQ(0u, stream->BufferSize());

    ASSERT_EQ(STATUS_SUCCESS, stream->AllocateAudioBuffer(4000, &mdl, &size, &offset, &cache));
    EXPECT_EQ(4000u, size);
    EXPECT_EQ(4000u, MmGetMdlByteCount(mdl));
    EXPECT_EQ(0u, offset);
    EXPECT_EQ(MmCached, cache);
    EXPECT_EQ(1u, stream->NotificationCount());
    PMDL second = nullptr;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, stream->AllocateAudioBuffer(4000, &second, &size, &offset, &cache));
    stream->FreeAudioBuffer(nullptr, 4000);
    EXPECT_EQ(4000u, stream->BufferSize());
    stream->FreeAudioBuffer(mdl, 4000);
    EXPECT_EQ(0u, stream->BufferSize());

    // A client's request beyond two seconds of the format (48000 Hz, 4 bytes a frame) gets two
    // seconds, not almost 2 GB below 4 GB; so does one whose format names a block of 65535 bytes.
    ASSERT_EQ(STATUS_SUCCESS, stream->AllocateAudioBuffer(0x7FFF0000, &mdl, &size, &offset, &cache));
    EXPECT_EQ(384000u, size);
    EXPECT_EQ(384000u, MmGetMdlByteCount(mdl));
    stream->FreeAudioBuffer(mdl, size);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE wide = wave_format(48000, 2, 16);
    wide.WaveFormatExt.Format.nBlockAlign = 0xFFFF;
    PMINIPORTWAVERTSTREAM created = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, miniport->NewStream(&created, &port_stream, 0, TRUE, &wide.DataFormat));
    auto claimed = static_cast<CMiniportWaveRTStream *>(static_cast<IMiniportWaveRTStreamNotification *>(created));
    ASSERT_EQ(STATUS_SUCCESS, claimed->AllocateAudioBuffer(0x7FFF0000, &mdl, &size, &offset, &cache));
    EXPECT_EQ(384000u, size);
    claimed->FreeAudioBuffer(mdl, size);
    claimed->Release();
}

TEST_F(WaveRTStreamTest, FormatsAreCheckedBeforeTheyAreRead)
{
    init();
    struct row {
        const char *label;
        KSDATAFORMAT_WAVEFORMATEXTENSIBLE format;
        NTSTATUS expected;
    };
    auto good = wave_format(48000, 2, 16);
    auto truncated = good;
    truncated.DataFormat.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX) + 4;
    auto headerless = good;
    headerless.DataFormat.FormatSize = sizeof(KSDATAFORMAT) + 10;
    auto video = good;
    video.DataFormat.MajorFormat = KSDATAFORMAT_SUBTYPE_PCM;
    auto unknownSub = good;
    unknownSub.WaveFormatExt.SubFormat = KSDATAFORMAT_TYPE_AUDIO;
    auto adpcm = good;
    adpcm.WaveFormatExt.Format.wFormatTag = 2;
    auto plainPcm = good;
    plainPcm.WaveFormatExt.Format.wFormatTag = WAVE_FORMAT_PCM;
    plainPcm.DataFormat.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX);
    auto otherRate = wave_format(96000, 2, 16);
    const row rows[] = {
        {"extensible cut short", truncated, STATUS_INVALID_DEVICE_REQUEST},
        {"no room for the wave header", headerless, STATUS_INVALID_DEVICE_REQUEST},
        {"not audio", video, STATUS_INVALID_DEVICE_REQUEST},
        {"unknown sub-format", unknownSub, STATUS_INVALID_DEVICE_REQUEST},
        {"unsupported tag", adpcm, STATUS_INVALID_DEVICE_REQUEST},
        {"another rate", otherRate, STATUS_NO_MATCH},
        {"plain PCM header", plainPcm, STATUS_SUCCESS},
        {"extensible PCM", good, STATUS_SUCCESS},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = r.format;
        PMINIPORTWAVERTSTREAM created = nullptr;
        EXPECT_EQ(r.expected, miniport->NewStream(&created, &port_stream, 0, FALSE, &format.DataFormat));
        if (created != nullptr) {
            auto stream =
                static_cast<CMiniportWaveRTStream *>(static_cast<IMiniportWaveRTStreamNotification *>(created));
            EXPECT_EQ(WAVERT_KIND_PCM, stream->FormatKind());
            created->Release();
        }
    }

    // The DirectSound specifier carries its wave header after the buffer description.
    struct {
        KSDATAFORMAT_DSOUND format;
        UCHAR tail[22];
    } dsound{};
    dsound.format.DataFormat = good.DataFormat;
    dsound.format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    dsound.format.DataFormat.FormatSize = sizeof(KSDATAFORMAT_DSOUND);
    dsound.format.BufferDesc.WaveFormatEx = good.WaveFormatExt.Format;
    dsound.format.BufferDesc.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
    PMINIPORTWAVERTSTREAM created = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, miniport->NewStream(&created, &port_stream, 0, FALSE, &dsound.format.DataFormat));
    if (created != nullptr) {
        created->Release();
    }
}

TEST_F(WaveRTStreamTest, DrmFaceAndFixedFormat)
{
    init();
    CMiniportWaveRTStream *stream = open(FALSE, 2, 16, 4096);
    ASSERT_NE(nullptr, stream);
    PDRMAUDIOSTREAM drm = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, stream->QueryInterface(IID_IDrmAudioStream, reinterpret_cast<void **>(&drm)));
    DRMRIGHTS rights{};
    EXPECT_EQ(STATUS_SUCCESS, drm->SetContentId(42, &rights));
    EXPECT_EQ(42u, stream->ContentId());
    drm->Release();
    PVOID other = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, stream->QueryInterface(IID_IPortWaveRTStream, &other));
    EXPECT_EQ(nullptr, other);

    // The format is fixed for the stream's life.
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = wave_format(48000, 2, 16);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, stream->SetFormat(&format.DataFormat));
}

} // namespace
} // namespace async_test

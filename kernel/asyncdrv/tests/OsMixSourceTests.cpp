// COsMixSource and the adapter's mix block against a real adapter, miniport and WaveRT stream:
// the stream's buffer read through the render piece queue, silenced behind the reader and
// moving the stream's position; the two producers summed into one transfer of a wider device;
// and the ASIO source's start on channels with and without render.
#include "WaveRTStreamFixture.h"
#include "TransferEntry.h"

namespace async_test {
namespace {

void put(std::vector<UCHAR> &out, LONG value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<UCHAR>(static_cast<ULONG>(value) >> (8 * i)));
    }
}

LONG sample24(const UCHAR *p)
{
    return static_cast<LONG>(static_cast<ULONG>(p[0]) << 8 | static_cast<ULONG>(p[1]) << 16 |
                             static_cast<ULONG>(p[2]) << 24) >> 8;
}

// A render-only device as the mix path sees it: 4 channels of packed 24 bits at 48 kHz.
MIX_DEVICE_FORMAT four_channel_device(BOOLEAN hasCapture)
{
    MIX_DEVICE_FORMAT format{};
    format.RenderChannels = 4;
    format.RenderBitsPerSample = 24;
    format.RenderSampleRate = 48000;
    format.RenderBytesPerFrame = 12;
    format.RenderMaxTransferBytes = 392 * 12;
    format.HasCapture = hasCapture;
    format.CaptureBytesPerFrame = hasCapture ? 8 : 0;
    format.CaptureTransferBytes = hasCapture ? 49 * 8 : 0;
    format.Timing = MIX_TIMING{8, 8, 1};
    format.PoolType = NonPagedPoolNx;
    return format;
}

class OsMixSourceTest : public WaveRTStreamTest {
protected:
    // A running 16-bit stereo render stream of 4096 bytes whose buffer holds frames.
    void open_stream(const std::vector<UCHAR> &frames)
    {
        stream = open(FALSE, 2, 16, 4096, 2);
        ASSERT_NE(nullptr, stream);
        base = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(buffers[0].first, NormalPagePriority));
        std::copy(frames.begin(), frames.end(), base);
        step_up(stream, KSSTATE_RUN);
        COsMixSource &os = common->OsMix();
        os.SetStreamFormat(2, 16);
        os.SetDeviceFormat(four_channel_device(FALSE));
        ASSERT_EQ(STATUS_SUCCESS, os.Prime());
    }

    CMiniportWaveRTStream *stream = nullptr;
    PUCHAR base = nullptr;
};

TEST_F(OsMixSourceTest, StreamAndChannelAreSummedIntoTheDeviceFormat)
{
    init();
    std::vector<UCHAR> os;
    for (LONG v : {0x7FFF, 0x4000, -0x8000, -1, 0x0100, 0x0200}) {
        put(os, v, 2);
    }
    open_stream(os);

    // The device channel plays 4-channel 24-bit frames from its output FIFO.
    CDeviceChannel &channel = common->Channel();
    ASSERT_EQ(STATUS_SUCCESS, channel.OutputFifo().Allocate(12, 64, 0, NonPagedPoolNx));
    std::vector<UCHAR> asio;
    for (LONG v : {0x7FFFFF, 0x100000, 0x111111, -0x222222, -0x800000, 0x000001, 0x333333, 0x444444, 5, 6, 7,
                   8}) {
        put(asio, v, 3);
    }
    channel.OutputFifo().Write(asio.data(), static_cast<ULONG>(asio.size()), TRUE);
    channel.OutputFifo().Start();
    CAsioMixSource &asioSource = common->AsioMix();
    asioSource.SetChannelFormat(4, 24, MIX_MODE_PCM);
    asioSource.SetDeviceFormat(four_channel_device(FALSE));
    ASSERT_EQ(STATUS_SUCCESS, asioSource.Prime());

    std::vector<UCHAR> transfer(3 * 12, 0);
    EXPECT_EQ(3u, asioSource.MixDirect(static_cast<ULONG>(transfer.size()), transfer.data()));
    EXPECT_EQ(3u, common->OsMix().MixDirect(static_cast<ULONG>(transfer.size()), transfer.data()));

    const LONG expected[3][4] = {
        {0x7FFFFF, 0x500000, 0x111111, -0x222222},  // saturated high; channels 3 and 4 from the channel only
        {-0x800000, -0x0000FF, 0x333333, 0x444444}, // saturated low
        {0x010005, 0x020006, 7, 8},
    };
    for (int f = 0; f < 3; ++f) {
        for (int c = 0; c < 4; ++c) {
            SCOPED_TRACE(testing::Message() << "frame " << f << " channel " << c);
            EXPECT_EQ(expected[f][c], sample24(&transfer[f * 12 + c * 3]));
        }
    }

    // What the stream gave is silenced behind the reader and its position moved on.
    EXPECT_EQ(std::vector<UCHAR>(12, 0), std::vector<UCHAR>(base, base + 12));
    KSAUDIO_POSITION position{};
    ASSERT_EQ(STATUS_SUCCESS, stream->GetPosition(&position));
    EXPECT_EQ(11u, position.PlayOffset);
    ASSERT_EQ(1u, common->render_pieces.size());
    EXPECT_EQ(base, common->render_pieces[0].start);
    EXPECT_EQ(12u, common->render_pieces[0].length);
}

TEST_F(OsMixSourceTest, ReadsFollowTheBufferAcrossItsWrap)
{
    init();
    std::vector<UCHAR> frames;
    for (LONG f = 0; f < 1024; ++f) {
        put(frames, f, 2);
        put(frames, -f, 2);
    }
    open_stream(frames);
    COsMixSource &os = common->OsMix();
    // 392-frame transfers: the third one crosses the end of the 1024-frame buffer.
    std::vector<UCHAR> transfer(392 * 12);
    for (int t = 0; t < 3; ++t) {
        std::fill(transfer.begin(), transfer.end(), 0);
        ASSERT_EQ(392u, os.MixDirect(static_cast<ULONG>(transfer.size()), transfer.data()));
        if (t < 2) {
            EXPECT_EQ((t * 392) << 8, sample24(&transfer[0]));
            EXPECT_EQ((t * 392 + 391) << 8, sample24(&transfer[391 * 12]));
            EXPECT_EQ(-(t * 392 + 391) << 8, sample24(&transfer[391 * 12 + 3]));
        }
    }
    EXPECT_EQ(784 << 8, sample24(&transfer[0]));
    EXPECT_EQ(1023 << 8, sample24(&transfer[239 * 12]));
    // Past the wrap the buffer's start was played already and silenced: it plays as silence.
    EXPECT_EQ(0, sample24(&transfer[240 * 12]));
    EXPECT_EQ(0, sample24(&transfer[391 * 12]));
    KSAUDIO_POSITION position{};
    ASSERT_EQ(STATUS_SUCCESS, stream->GetPosition(&position));
    EXPECT_EQ((3 * 392 - 1024) * 4 - 1u, position.PlayOffset);
}

TEST_F(OsMixSourceTest, NothingIsReadUnlessTheStreamRuns)
{
    init();
    std::vector<UCHAR> frames(4096, 0x11);
    open_stream(frames);
    ASSERT_EQ(STATUS_SUCCESS, stream->SetState(KSSTATE_PAUSE));
    std::vector<UCHAR> transfer(48 * 12, 0);
    EXPECT_EQ(0u, common->OsMix().MixDirect(static_cast<ULONG>(transfer.size()), transfer.data()));
    EXPECT_EQ(std::vector<UCHAR>(48 * 12, 0), transfer);
    close(stream);
    stream = nullptr;
    EXPECT_EQ(0u, common->ReadOsRender(transfer.data(), 48));
}

TEST_F(OsMixSourceTest, CapturePacedOnADeviceWithCapture)
{
    init();
    std::vector<UCHAR> frames;
    for (LONG f = 0; f < 1024; ++f) {
        put(frames, 0x1000 + f, 2);
        put(frames, 0, 2);
    }
    open_stream(frames);
    COsMixSource &os = common->OsMix();
    os.SetDeviceFormat(four_channel_device(TRUE));
    os.SetPrefillPercent(0);
    ASSERT_EQ(STATUS_SUCCESS, os.Prime());
    EXPECT_TRUE(os.IsPrimedForCapture());
    EXPECT_TRUE(os.IsSourceStarted());

    std::vector<UCHAR> buffer(3 * 392 * 12, 0);
    std::vector<TransferEntry> entries(3);
    for (ULONG i = 0; i < 3; ++i) {
        entries[i].Buffer = buffer.data() + i * 392 * 12;
        entries[i].BytesRequested = 392 * 12;
        os.QueuePiece(&entries[i]);
    }
    os.CommitPiece(8);
    ASSERT_TRUE(os.IsPrimed());
    EXPECT_EQ(48u, os.MixFromCapture(48 * 8, 8));
    const UCHAR *written = buffer.data() + 392 * 12 + 146 * 12;
    EXPECT_EQ(0, sample24(written - 12));
    EXPECT_EQ(0x1000 << 8, sample24(written));
    EXPECT_EQ((0x1000 + 47) << 8, sample24(written + 47 * 12));
    os.CommitPiece(16);
    os.CommitPiece(24);
}

TEST_F(OsMixSourceTest, AsioSourceStartsOnlyForAChannelWithRender)
{
    init();
    // No output FIFO (a capture-only channel): nothing to mix, and the start goes on.
    EXPECT_EQ(STATUS_SUCCESS, common->StartAsioMix());
    EXPECT_FALSE(common->AsioMix().HasBounceBuffer());
    common->SetAsioMixPrefill(250);
    EXPECT_EQ(100u, common->AsioMix().GetPrefillPercent());
    common->StopAsioMix();
}

} // namespace
} // namespace async_test

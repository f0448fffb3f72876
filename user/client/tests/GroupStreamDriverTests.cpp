// CAsioChannelGroup streaming through ovmlsaau on the paced bus: the streaming thread's loop as
// the ASIO driver runs it, over a device whose capture records its render output, checked as a
// clean run.
#include "DriverMachineTest.h"
#include "AsioChannelGroup.h"
#include <sim/clean_run.h>
#include <cstring>

namespace {

constexpr DWORD Frames = 128;
constexpr DWORD Periods = 800;
constexpr ULONG FrameBytes = 2 * 4;

// Frame k of the output: two 32-bit containers whose top 24 bits count the samples written.
void written_frame(ULONGLONG k, UCHAR *out)
{
    const DWORD samples[2] = {static_cast<DWORD>(2 * k + 1) << 8, static_cast<DWORD>(2 * k + 2) << 8};
    std::memcpy(out, samples, sizeof(samples));
}

// The streaming thread's loop, on a thread of the machine as the ASIO driver's is: wait for the
// half's capture, keep the inputs, write the next frames, read the half again.
struct group_stream {
    CAsioChannelGroup *group = nullptr;
    HANDLE stop = nullptr;
    std::vector<UCHAR> returned;
    ULONGLONG written = 0;
    DWORD periods = 0;
    DWORD failure = ERROR_SUCCESS; // the wait or request that ended the loop early

    static DWORD WINAPI run(LPVOID context)
    {
        auto *s = static_cast<group_stream *>(context);
        CAsioDeviceChannel *channel = s->group->GetChannel(0);
        s->failure = s->group->ReadHalfAll(0);
        s->failure = s->failure == ERROR_SUCCESS ? s->group->ReadHalfAll(1) : s->failure;
        s->failure = s->failure == ERROR_SUCCESS && !s->group->StartCaptureAll() ? ERROR_GEN_FAILURE : s->failure;
        for (DWORD half = 0; s->failure == ERROR_SUCCESS && s->periods < Periods; half ^= 1) {
            DWORD result = WAIT_IO_COMPLETION;
            while (result == WAIT_IO_COMPLETION) {
                result = s->group->WaitHalfAll(half, s->stop);
            }
            if (result != WAIT_OBJECT_0) {
                s->failure = result;
                break;
            }
            const BYTE *in = channel->GetInputBuffer(half);
            s->returned.insert(s->returned.end(), in, in + channel->GetInputBufferSize());
            BYTE *out = channel->GetOutputBuffer(half);
            for (DWORD f = 0; f < Frames; ++f) {
                written_frame(s->written++, out + f * FrameBytes);
            }
            s->failure = s->group->WriteHalfAll(half);
            s->failure = s->failure == ERROR_SUCCESS ? s->group->ReadHalfAll(half) : s->failure;
            ++s->periods;
        }
        return 0;
    }
};

class GroupStreamDriverTest : public DriverMachineTest {};

TEST_F(GroupStreamDriverTest, DuplexStreamThroughTheKernelIsACleanRun)
{
    pace_bus();
    // Two channels only: the default device's eight-channel alternate is left out.
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 4, 24}};
    descriptors.capture_formats = {{2, 4, 24}};
    const attached_device device = attach(descriptors);
    CAsioChannelGroup group;
    ASSERT_TRUE(group.OpenDevice(device.channel_path.c_str(), device.instance_id.c_str(), L"Marla"));
    ASSERT_TRUE(group.SetSampleRateAll(48000));
    ASSERT_TRUE(group.AcquireAll());
    ASSERT_TRUE(group.PrepareAll(Frames, TRUE, TRUE, 50, FALSE));
    ASSERT_EQ(Frames * FrameBytes, group.GetChannel(0)->GetOutputBufferSize());
    ASSERT_EQ(group.GetChannel(0)->GetOutputBufferSize(), group.GetChannel(0)->GetInputBufferSize());
    ASSERT_TRUE(group.StartAll());

    group_stream stream;
    stream.group = &group;
    stream.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, stream.stop);
    HANDLE thread = CreateThread(nullptr, 0, group_stream::run, &stream, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    if (WaitForSingleObject(thread, 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the stream stalled after " << stream.periods << " periods";
        SetEvent(stream.stop);
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    CloseHandle(stream.stop);
    EXPECT_TRUE(group.StopAll());
    EXPECT_TRUE(group.UnprepareAll());
    group.CloseAll();

    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), stream.failure) << "no restart on the paced bus";
    EXPECT_EQ(Periods, stream.periods);
    const sim::clean_run run = sim::check_clean_run(stream.returned, FrameBytes, stream.written, written_frame);
    EXPECT_TRUE(run.clean) << run.why;
    EXPECT_EQ(0u, m_bus->overruns()) << "the bus never ran ahead of the machine";
}

} // namespace

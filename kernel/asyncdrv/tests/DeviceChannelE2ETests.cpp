// The device channel end to end: ovmlsaau loaded by PnP for a simulated device, "\asio" opened
// with CreateFileW by host processes, control codes, CLEANUP and CLOSE, the death of an owner
// process, and surprise removal with requests still pended.
#include "DeviceChannelE2EFixture.h"
#include <algorithm>
#include <ks.h>
#include <ksmedia.h>
#include <platform/pnp.h>
#include <platform/user_io.h>
#include <sim/usb_host_controller.h>
#include "AsyncPoolTags.h"

namespace e2e_test {
namespace {

constexpr ULONG DefaultRate = 44100; // no rate stored for a new device

// Every control code whose answer does not depend on the handle's state, on a fresh handle.
TEST_F(ChannelE2ETest, StatelessCodesAnswerFromTheDevice)
{
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    HANDLE h = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    QELASIO_RATE_RANGE range = {0xDEAD, 0xBEEF};
    io_result r = control(h, IOCTL_QELASIO_GET_RATE_RANGE, nullptr, 0, &range, sizeof(range));
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(sizeof(range), r.bytes);
    EXPECT_EQ(44100u, range.Lowest);
    EXPECT_EQ(192000u, range.Highest);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              control(h, IOCTL_QELASIO_GET_RATE_RANGE, nullptr, 0, &range, sizeof(range) - 1).status);

    // The widest PCM format per direction: two channels in four-byte containers.
    QELASIO_RATE_CAPS caps = {96000, 9, 9, 9, 9};
    r = control(h, IOCTL_QELASIO_GET_RATE_CAPS, &caps, sizeof(caps), &caps, sizeof(caps));
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(sizeof(caps), r.bytes);
    EXPECT_EQ(96000u, caps.Rate);
    EXPECT_EQ(2u, caps.RenderChannels);
    EXPECT_EQ(32u, caps.RenderBits);
    EXPECT_EQ(2u, caps.CaptureChannels);
    EXPECT_EQ(32u, caps.CaptureBits);
    caps = {22050, 0, 0, 0, 0};
    r = control(h, IOCTL_QELASIO_GET_RATE_CAPS, &caps, sizeof(caps), &caps, sizeof(caps));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status) << "a rate the clock does not offer";
    EXPECT_EQ(0u, r.bytes);
    caps = {48000, 0, 0, 0, 0};
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              control(h, IOCTL_QELASIO_GET_RATE_CAPS, &caps, sizeof(caps) - 1, &caps, sizeof(caps)).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              control(h, IOCTL_QELASIO_GET_RATE_CAPS, &caps, sizeof(caps), &caps, sizeof(caps) - 1).status);

    ULONG value = 0;
    r = control(h, IOCTL_QELASIO_GET_SAMPLE_RATE, nullptr, 0, &value, sizeof(value));
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(sizeof(ULONG), r.bytes);
    EXPECT_EQ(DefaultRate, value);

    value = 0;
    EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_GET_DSD_SUPPORT, nullptr, 0, &value, sizeof(value)).status);
    EXPECT_EQ(1u, value) << "the default device answers the vendor mode request";
    value = 0;
    EXPECT_EQ(STATUS_SUCCESS,
              control(h, IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS, nullptr, 0, &value, sizeof(value)).status);
    EXPECT_EQ(1u, value);
    value = 7;
    EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_GET_STREAM_RESET, nullptr, 0, &value, sizeof(value)).status);
    EXPECT_EQ(0u, value);
    r = control(h, IOCTL_QELASIO_PING);
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(0u, r.bytes);

    // The unused function and codes of other device types are unknown requests.
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, control(h, QELASIO_FUNCTION(0x805)).status);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, control(h, QELASIO_FUNCTION(0x812)).status);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              control(h, CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)).status);
    EXPECT_TRUE(CloseHandle(h));
}

// A rate change goes to the device, survives in its key and re-registers the WaveRT filter
// under the new name; an open channel handle keeps working across it.
TEST_F(ChannelE2ETest, SetSampleRateRenamesTheFilterAndKeepsTheHandle)
{
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    HANDLE h = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    ULONG rate = 96000;
    EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, sizeof(rate)).status);
    rate = 0;
    EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_GET_SAMPLE_RATE, nullptr, 0, &rate, sizeof(rate)).status);
    EXPECT_EQ(96000u, rate);
    std::vector<std::wstring> references;
    for (const auto &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        references.push_back(entry.reference);
    }
    EXPECT_EQ(std::vector<std::wstring>{L"Wave_96000"}, references);
    EXPECT_NE(std::wstring::npos, channel_path(pdo).find(L"\\asio"));

    // Unchanged, unsupported and short.
    rate = 96000;
    EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, sizeof(rate)).status);
    rate = 12345;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(h, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, sizeof(rate)).status);
    rate = 48000;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(h, IOCTL_QELASIO_SET_SAMPLE_RATE, &rate, sizeof(rate) - 1).status);
    rate = 0;
    EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_GET_SAMPLE_RATE, nullptr, 0, &rate, sizeof(rate)).status);
    EXPECT_EQ(96000u, rate);
    EXPECT_TRUE(CloseHandle(h));

    // A handle opened on the renamed interface reaches the same channel.
    HANDLE again = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, again);
    EXPECT_EQ(STATUS_SUCCESS, control(again, IOCTL_QELASIO_PING).status);
    EXPECT_TRUE(CloseHandle(again));
}

// A client told of the audio interface's arrival (the control panel is) opens the channel at
// once: the driver's start is still running when the interface is enabled.
TEST_F(ChannelE2ETest, TheChannelOpensAsSoonAsTheInterfaceArrives)
{
    HANDLE opened = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    const ULONG listener = platform::pnp_listen([&](const platform::interface_event &event) {
        const size_t cut = event.user_path.rfind(L"\\Wave");
        if (!event.arrival || event.class_guid != KSCATEGORY_AUDIO || cut == std::wstring::npos ||
            opened != INVALID_HANDLE_VALUE) {
            return;
        }
        opened = open_channel(event.user_path.substr(0, cut) + QELASIO_CHANNEL_FILE_NAME);
        error = opened == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    });
    DEVICE_OBJECT *pdo = attach();
    platform::pnp_unlisten(listener);
    ASSERT_NE(nullptr, pdo);
    ASSERT_NE(INVALID_HANDLE_VALUE, opened) << "error " << error;
    EXPECT_EQ(STATUS_SUCCESS, control(opened, IOCTL_QELASIO_PING).status);
    EXPECT_TRUE(CloseHandle(opened));
}

// "\asio" in any case opens the device channel; every other name on the device's interface goes
// to portcls: the filter's own reference string opens the KS filter, which knows no channel
// code, and a name portcls does not know is refused by it.
TEST_F(ChannelE2ETest, ChannelNameIsCaseInsensitiveAndOtherNamesGoToPortcls)
{
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    std::wstring path = channel_path(pdo);
    const std::wstring base = path.substr(0, path.size() - 5);
    struct row {
        const wchar_t *name;
        NTSTATUS open;
        bool channel;
    };
    const std::vector<row> rows = {
        {L"\\asio", STATUS_SUCCESS, true},
        {L"\\ASIO", STATUS_SUCCESS, true},
        {L"\\Asio", STATUS_SUCCESS, true},
        {L"\\Wave_44100", STATUS_SUCCESS, false},
        {L"\\asio2", STATUS_OBJECT_NAME_NOT_FOUND, false},
        {L"\\asi", STATUS_OBJECT_NAME_NOT_FOUND, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(r.name)));
        platform::user_file *file = nullptr;
        EXPECT_EQ(r.open, platform::user_io_open((base + r.name).c_str(), GENERIC_READ | GENERIC_WRITE, &file));
        if (file == nullptr) {
            continue;
        }
        NTSTATUS ping = STATUS_PENDING;
        platform::user_io_ioctl(file, IOCTL_QELASIO_PING, nullptr, 0, nullptr, 0,
                                [&ping](NTSTATUS status, ULONG_PTR) { ping = status; });
        EXPECT_EQ(r.channel, ping == STATUS_SUCCESS) << std::hex << ping;
        platform::user_io_close(file);
    }
}

// ACQUIRE is one owner per device, whichever handle or process asks; RELEASE and the end of the
// owner's handle give the channel back.
TEST_F(ChannelE2ETest, AcquireIsExclusiveAcrossHandlesAndProcesses)
{
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    const std::wstring path = channel_path(pdo);
    host_process first(L"hostA.exe");
    host_process second(L"hostB.exe");
    HANDLE a = INVALID_HANDLE_VALUE, b = INVALID_HANDLE_VALUE, c = INVALID_HANDLE_VALUE;

    first.run([&] {
        a = open_channel(path);
        b = open_channel(path);
        ASSERT_NE(INVALID_HANDLE_VALUE, a);
        ASSERT_NE(INVALID_HANDLE_VALUE, b);
        EXPECT_EQ(STATUS_SUCCESS, acquire(a));
        EXPECT_EQ(STATUS_DEVICE_BUSY, acquire(b));
        // A second ACQUIRE on the owner is a state error, not a second ownership.
        EXPECT_EQ(STATUS_UNSUCCESSFUL, acquire(a));
        // The refused handle stayed OPEN: RELEASE needs ACQUIRED.
        EXPECT_EQ(STATUS_UNSUCCESSFUL, release(b));
    });
    second.run([&] {
        c = open_channel(path);
        ASSERT_NE(INVALID_HANDLE_VALUE, c);
        EXPECT_EQ(STATUS_DEVICE_BUSY, acquire(c));
    });
    first.run([&] { EXPECT_EQ(STATUS_SUCCESS, release(a)); });
    second.run([&] {
        EXPECT_EQ(STATUS_SUCCESS, acquire(c));
        EXPECT_EQ(STATUS_SUCCESS, prepare(c, 256, 1, 1));
    });
    // Closing the owner's handle walks it back to OPEN and frees the channel for the others.
    second.run([&] { EXPECT_TRUE(CloseHandle(c)); });
    first.run([&] {
        EXPECT_EQ(STATUS_SUCCESS, acquire(b));
        EXPECT_EQ(STATUS_SUCCESS, prepare(b, 256, 1, 1, QELASIO_MODE_DSD)) << "no reservation left behind";
        EXPECT_TRUE(CloseHandle(a));
        EXPECT_TRUE(CloseHandle(b));
    });
}

// The state rule is checked before the buffer, and a refused request changes nothing.
TEST_F(ChannelE2ETest, PrepareAndUnprepareFollowTheStateRules)
{
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    HANDLE h = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    EXPECT_EQ(STATUS_UNSUCCESSFUL, prepare(h, 256, 1, 1)) << "PREPARE from OPEN";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(h, IOCTL_QELASIO_PREPARE).status) << "state before length";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, unprepare(h));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(h, IOCTL_QELASIO_START).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(h, IOCTL_QELASIO_STOP).status);
    ASSERT_EQ(STATUS_SUCCESS, acquire(h));

    QELASIO_PREPARE_REQUEST request = {256, 1, 1, 100, QELASIO_MODE_PCM};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control(h, IOCTL_QELASIO_PREPARE, &request, sizeof(request) - 1).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, prepare(h, 0, 1, 1));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, prepare(h, 256, 0, 0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, prepare(h, 0xFFFFFFFF, 1, 1)) << "FIFO size beyond 32 bits";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, prepare(h, 0x60000000, 0, 1));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(h, IOCTL_QELASIO_START).status) << "START from ACQUIRED";

    const ULONG blocks = pool_blocks(ASYNC_TAG);
    EXPECT_EQ(STATUS_SUCCESS, prepare(h, 256, 1, 1, QELASIO_MODE_PCM, 250));
    EXPECT_EQ(blocks + 2, pool_blocks(ASYNC_TAG)) << "one FIFO per direction";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, prepare(h, 256, 1, 1)) << "PREPARE twice";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, release(h)) << "RELEASE while prepared";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(h, IOCTL_QELASIO_STOP).status) << "STOP while prepared";
    // Reading before START is refused, whatever the buffer.
    pending_io io;
    read(h, io, 2048);
    ASSERT_TRUE(io.wait());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, io.status());

    EXPECT_EQ(STATUS_SUCCESS, unprepare(h));
    EXPECT_EQ(blocks, pool_blocks(ASYNC_TAG));
    EXPECT_EQ(STATUS_SUCCESS, prepare(h, 64, 0, 1)) << "render-only after unprepare";
    EXPECT_EQ(STATUS_SUCCESS, unprepare(h));
    EXPECT_EQ(STATUS_SUCCESS, release(h));
    EXPECT_EQ(STATUS_SUCCESS, acquire(h)) << "released to OPEN";
    EXPECT_TRUE(CloseHandle(h));
}

// A device without the vendor mode is not DSD-native; a device without capture refuses a
// capture direction and reports it absent in its caps.
TEST_F(ChannelE2ETest, DsdAndMissingDirectionsAreRefused)
{
    sim::uac2_options descriptors;
    descriptors.capture = false;
    sim::audio_device_options options;
    options.vendor_mode_supported = false;
    DEVICE_OBJECT *pdo = attach(descriptors, options);
    ASSERT_NE(nullptr, pdo);
    HANDLE h = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    ULONG dsd = 7;
    EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_GET_DSD_SUPPORT, nullptr, 0, &dsd, sizeof(dsd)).status);
    EXPECT_EQ(0u, dsd);
    QELASIO_RATE_CAPS caps = {48000, 9, 9, 9, 9};
    EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_GET_RATE_CAPS, &caps, sizeof(caps), &caps, sizeof(caps)).status);
    EXPECT_EQ(2u, caps.RenderChannels);
    EXPECT_EQ(0u, caps.CaptureChannels);
    EXPECT_EQ(0u, caps.CaptureBits);

    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, prepare(h, 256, 0, 1, QELASIO_MODE_DSD));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, prepare(h, 256, 1, 1));
    EXPECT_EQ(STATUS_SUCCESS, prepare(h, 256, 0, 1));
    EXPECT_TRUE(CloseHandle(h));
}

// A DSD channel that has nothing to play yet sends the DSD fill 0x96 in every render byte: the
// engine's first transfers and the channel's output FIFO both fill with it.
TEST_F(ChannelE2ETest, DsdChannelPlaysTheDsdFillUntilItHasData)
{
    std::shared_ptr<sim::usb_tap> tap;
    DEVICE_OBJECT *pdo = attach({}, {}, &tap);
    ASSERT_NE(nullptr, pdo);
    HANDLE h = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(STATUS_SUCCESS, acquire(h));
    ASSERT_EQ(STATUS_SUCCESS, prepare(h, 256, 1, 1, QELASIO_MODE_DSD));
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START).status);
    const ULONG start = machine->usb_bus().current_frame();
    while (machine->usb_bus().current_frame() - start < 100) {
        Sleep(5);
    }
    ASSERT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_STOP).status);
    const std::vector<std::uint8_t> played = tap->bytes(sim::uac2_ids::render_data_ep);
    EXPECT_GT(played.size(), 44100u / 10 * 8);
    EXPECT_EQ(played.size(), static_cast<size_t>(std::count(played.begin(), played.end(), 0x96)));
    EXPECT_EQ(STATUS_SUCCESS, unprepare(h));
    EXPECT_TRUE(CloseHandle(h));
}

// Positions answer in any state; a host position beyond the elapsed one skips nothing.
TEST_F(ChannelE2ETest, PositionsAnswerInEveryState)
{
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    HANDLE h = open_channel(channel_path(pdo));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    for (int step = 0; step < 3; ++step) {
        SCOPED_TRACE(step);
        ULONG position = 0xDEADBEEF;
        io_result r = control(h, IOCTL_QELASIO_GET_POSITION, nullptr, 0, &position, sizeof(position));
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        EXPECT_EQ(sizeof(ULONG), r.bytes);
        EXPECT_EQ(STATUS_INVALID_PARAMETER,
                  control(h, IOCTL_QELASIO_GET_POSITION, nullptr, 0, &position, sizeof(position) - 1).status);
        ULONG host = 0xFFFFFFFF;
        EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_SET_POSITION, &host, sizeof(host)).status);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, control(h, IOCTL_QELASIO_SET_POSITION, &host, 3).status);
        // START_CAPTURE on a channel that is not started is accepted and does nothing.
        EXPECT_EQ(STATUS_SUCCESS, control(h, IOCTL_QELASIO_START_CAPTURE).status);
        if (step == 0) {
            ASSERT_EQ(STATUS_SUCCESS, acquire(h));
        } else if (step == 1) {
            ASSERT_EQ(STATUS_SUCCESS, prepare(h, 128, 1, 1));
        }
    }
    EXPECT_TRUE(CloseHandle(h));
}

// The owner's process dies while it and another process have READs pended on the started
// channel: the death stops the channel, every READ ends, and the other process acquires.
TEST_F(ChannelE2ETest, DeathOfTheOwnerProcessEndsPendedReadsAndFreesTheChannel)
{
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    const std::wstring path = channel_path(pdo);
    host_process owner(L"owner.exe");
    host_process other(L"other.exe");
    pending_io owner_reads[3];
    pending_io other_read;
    HANDLE mine = INVALID_HANDLE_VALUE, theirs = INVALID_HANDLE_VALUE;

    owner.run([&] {
        mine = open_channel(path);
        ASSERT_NE(INVALID_HANDLE_VALUE, mine);
        ASSERT_EQ(STATUS_SUCCESS, acquire(mine));
        ASSERT_EQ(STATUS_SUCCESS, prepare(mine, 64, 1, 1));
        ASSERT_EQ(STATUS_SUCCESS, control(mine, IOCTL_QELASIO_START).status);
        for (pending_io &io : owner_reads) {
            read(mine, io, 64 * 8);
            EXPECT_FALSE(io.issued);
            EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), io.error);
        }
    });
    other.run([&] {
        theirs = open_channel(path);
        ASSERT_NE(INVALID_HANDLE_VALUE, theirs);
        // READ works on any handle of a started channel; no START_CAPTURE, so it stays pended.
        read(theirs, other_read, 64 * 8);
        EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), other_read.error);
        EXPECT_EQ(STATUS_DEVICE_BUSY, acquire(theirs));
    });
    EXPECT_FALSE(other_read.finished());

    owner.kill();
    ASSERT_TRUE(other_read.wait());
    EXPECT_EQ(STATUS_CANCELLED, other_read.status());
    EXPECT_EQ(0u, other_read.overlapped.InternalHigh);

    other.run([&] {
        EXPECT_EQ(STATUS_SUCCESS, acquire(theirs));
        EXPECT_EQ(STATUS_SUCCESS, prepare(theirs, 64, 1, 1, QELASIO_MODE_DSD)) << "the dead owner's streams are released";
        EXPECT_TRUE(CloseHandle(theirs));
    });
}

// CancelIo and CLEANUP end a handle's own pended requests and no one else's.
TEST_F(ChannelE2ETest, CancelAndCleanupEndOnlyTheirOwnRequests)
{
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    const std::wstring path = channel_path(pdo);
    HANDLE owner = open_channel(path);
    HANDLE cancelled = open_channel(path);
    HANDLE closed = open_channel(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, owner);
    ASSERT_NE(INVALID_HANDLE_VALUE, cancelled);
    ASSERT_NE(INVALID_HANDLE_VALUE, closed);
    ASSERT_EQ(STATUS_SUCCESS, acquire(owner));
    ASSERT_EQ(STATUS_SUCCESS, prepare(owner, 64, 1, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(owner, IOCTL_QELASIO_START).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, control(cancelled, IOCTL_QELASIO_STOP).status) << "only the owner runs";

    // A duplex WRITE completes at once, on any handle, a zero-length one with nothing.
    pending_io empty;
    write(cancelled, empty, 0, 0);
    ASSERT_TRUE(empty.wait());
    EXPECT_EQ(STATUS_SUCCESS, empty.status());
    EXPECT_EQ(0u, empty.overlapped.InternalHigh);
    write(closed, empty, 512, 0x5A);
    ASSERT_TRUE(empty.wait());
    EXPECT_EQ(STATUS_SUCCESS, empty.status());
    EXPECT_EQ(512u, empty.overlapped.InternalHigh);

    // READs pend, a zero-length one too, until capture data flows.
    pending_io owned, read_one, read_empty, read_two;
    read(owner, owned, 512);
    read(cancelled, read_one, 512);
    read(cancelled, read_empty, 0);
    read(closed, read_two, 512);
    EXPECT_FALSE(owned.finished());
    EXPECT_FALSE(read_empty.finished());

    EXPECT_TRUE(CancelIo(cancelled));
    ASSERT_TRUE(read_one.wait());
    EXPECT_EQ(STATUS_CANCELLED, read_one.status());
    EXPECT_EQ(0u, read_one.overlapped.InternalHigh);
    ASSERT_TRUE(read_empty.wait());
    EXPECT_EQ(STATUS_CANCELLED, read_empty.status());
    EXPECT_FALSE(read_two.finished());

    EXPECT_TRUE(CloseHandle(closed));
    ASSERT_TRUE(read_two.wait());
    EXPECT_EQ(STATUS_CANCELLED, read_two.status());
    EXPECT_FALSE(owned.finished()) << "another handle's CLEANUP left the owner's READ";

    // STOP ends the owner's requests; the channel is PREPARED again.
    EXPECT_EQ(STATUS_SUCCESS, control(owner, IOCTL_QELASIO_STOP).status);
    ASSERT_TRUE(owned.wait());
    EXPECT_EQ(STATUS_CANCELLED, owned.status());
    EXPECT_EQ(STATUS_SUCCESS, unprepare(owner));
    EXPECT_TRUE(CloseHandle(cancelled));
    EXPECT_TRUE(CloseHandle(owner));
}

// Surprise removal with READs pended on a running channel: they end, every later request on
// the handle answers DELETE_PENDING, and the adapter lives until the last channel handle closes.
TEST_F(ChannelE2ETest, SurpriseRemovalEndsPendedRequestsAndTheLastCloseFreesTheAdapter)
{
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    const std::wstring path = channel_path(pdo);
    HANDLE owner = open_channel(path);
    HANDLE idle = open_channel(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, owner);
    ASSERT_NE(INVALID_HANDLE_VALUE, idle);
    ASSERT_EQ(STATUS_SUCCESS, acquire(owner));
    ASSERT_EQ(STATUS_SUCCESS, prepare(owner, 64, 1, 1));
    ASSERT_EQ(STATUS_SUCCESS, control(owner, IOCTL_QELASIO_START).status);
    pending_io reads[2];
    for (pending_io &io : reads) {
        read(owner, io, 512);
    }

    EXPECT_EQ(STATUS_SUCCESS, detach(pdo));
    for (pending_io &io : reads) {
        ASSERT_TRUE(io.wait());
        EXPECT_EQ(STATUS_CANCELLED, io.status());
    }
    EXPECT_LT(0u, pool_blocks(ASYNC_ADAPTER_TAG)) << "open handles keep the adapter";

    for (HANDLE h : {owner, idle}) {
        EXPECT_EQ(STATUS_DELETE_PENDING, control(h, IOCTL_QELASIO_PING).status);
        EXPECT_EQ(STATUS_DELETE_PENDING, control(h, IOCTL_QELASIO_STOP).status);
        pending_io io;
        read(h, io, 512);
        ASSERT_TRUE(io.wait());
        EXPECT_EQ(STATUS_DELETE_PENDING, io.status());
        write(h, io, 512, 0x11);
        ASSERT_TRUE(io.wait());
        EXPECT_EQ(STATUS_DELETE_PENDING, io.status());
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, open_channel(path)) << "no new handle on a removed device";

    EXPECT_TRUE(CloseHandle(idle));
    EXPECT_LT(0u, pool_blocks(ASYNC_ADAPTER_TAG));
    EXPECT_TRUE(CloseHandle(owner));
    EXPECT_EQ(0u, pool_blocks(ASYNC_ADAPTER_TAG)) << "the last close frees the adapter";
}

} // namespace
} // namespace e2e_test

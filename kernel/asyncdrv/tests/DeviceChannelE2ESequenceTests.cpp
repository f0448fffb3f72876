// Seeded random sequences against the real driver: host processes open and close "\asio"
// handles, send control codes, READs and WRITEs, cancel them and die. A model of the handles'
// states predicts every control answer (one owner at most, state rules), every request must
// end exactly once, and unloading the driver at the end finds nothing left behind.
#include "DeviceChannelE2EFixture.h"
#include <deque>
#include <random>

namespace e2e_test {
namespace {

struct model_handle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ULONG state = CHANNEL_OPEN;
    std::deque<pending_io> requests; // addresses stay put while the requests are in flight
};

struct model_process {
    std::unique_ptr<host_process> process;
    std::deque<model_handle> handles;
};

class ChannelSequenceE2ETest : public ChannelE2ETest {
protected:
    void run_sequence(unsigned seed, int steps);

private:
    void step(std::mt19937 &random);
    void control_step(model_process &p, model_handle &h, std::mt19937 &random);
    void io_step(model_process &p, model_handle &h, bool is_read);
    // The handle ended (closed or its process killed): model what its CLEANUP does.
    void forget(model_handle &h);
    bool owner_running() const;

    std::wstring path_;
    std::vector<model_process> processes_;
    std::deque<std::deque<pending_io>> closed_requests_;
    int owners_ = 0;
    int serial_ = 0;
};

bool ChannelSequenceE2ETest::owner_running() const
{
    for (const model_process &p : processes_) {
        for (const model_handle &h : p.handles) {
            if (h.state == CHANNEL_RUNNING) {
                return true;
            }
        }
    }
    return false;
}

void ChannelSequenceE2ETest::forget(model_handle &h)
{
    if (h.state >= CHANNEL_ACQUIRED) {
        --owners_;
    }
    h.state = CHANNEL_CLOSED;
}

void ChannelSequenceE2ETest::control_step(model_process &p, model_handle &h, std::mt19937 &random)
{
    static const DWORD codes[] = {
        IOCTL_QELASIO_ACQUIRE, IOCTL_QELASIO_PREPARE,     IOCTL_QELASIO_START,         IOCTL_QELASIO_STOP,
        IOCTL_QELASIO_UNPREPARE, IOCTL_QELASIO_RELEASE,   IOCTL_QELASIO_GET_POSITION,  IOCTL_QELASIO_SET_POSITION,
        IOCTL_QELASIO_START_CAPTURE, IOCTL_QELASIO_PING,  IOCTL_QELASIO_GET_RATE_CAPS, QELASIO_FUNCTION(0x805),
    };
    // Half the steps take the handle one state further, so that channels reach RUNNING often.
    static const DWORD forward[] = {IOCTL_QELASIO_ACQUIRE, IOCTL_QELASIO_ACQUIRE, IOCTL_QELASIO_PREPARE,
                                    IOCTL_QELASIO_START, IOCTL_QELASIO_START_CAPTURE};
    const DWORD code = random() % 2 == 0 ? forward[h.state] : codes[random() % (sizeof(codes) / sizeof(codes[0]))];
    const ULONG before = h.state;
    const bool hostile = random() % 4 == 0;
    QELASIO_PREPARE_REQUEST request = {hostile ? 0xFFFFFFFFu : 64u, 1, 1, 100, QELASIO_MODE_PCM};
    UCHAR buffer[32] = {};
    QELASIO_RATE_CAPS caps = {48000, 0, 0, 0, 0};
    ULONG position = static_cast<ULONG>(random());
    io_result r;
    p.process->run([&] {
        switch (code) {
        case IOCTL_QELASIO_PREPARE:
            r = control(h.handle, code, &request, sizeof(request));
            break;
        case IOCTL_QELASIO_SET_POSITION:
            r = control(h.handle, code, &position, hostile ? 2 : sizeof(position));
            break;
        case IOCTL_QELASIO_GET_POSITION:
            r = control(h.handle, code, nullptr, 0, buffer, hostile ? 3 : 4);
            break;
        case IOCTL_QELASIO_GET_RATE_CAPS:
            r = control(h.handle, code, &caps, sizeof(caps), &caps, sizeof(caps));
            break;
        default:
            r = control(h.handle, code);
            break;
        }
    });
    SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << code << " from state " << std::dec << before);
    switch (code) {
    case IOCTL_QELASIO_ACQUIRE:
        if (before != CHANNEL_OPEN) {
            EXPECT_EQ(STATUS_UNSUCCESSFUL, r.status);
        } else if (owners_ != 0) {
            EXPECT_EQ(STATUS_DEVICE_BUSY, r.status);
        } else {
            EXPECT_EQ(STATUS_SUCCESS, r.status);
            h.state = CHANNEL_ACQUIRED;
            ++owners_;
        }
        break;
    case IOCTL_QELASIO_PREPARE:
        if (before != CHANNEL_ACQUIRED) {
            EXPECT_EQ(STATUS_UNSUCCESSFUL, r.status);
        } else if (hostile) {
            EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status);
        } else {
            EXPECT_EQ(STATUS_SUCCESS, r.status);
            h.state = CHANNEL_PREPARED;
        }
        break;
    case IOCTL_QELASIO_START:
        if (before != CHANNEL_PREPARED) {
            EXPECT_EQ(STATUS_UNSUCCESSFUL, r.status);
        } else if (NT_SUCCESS(r.status)) {
            h.state = CHANNEL_RUNNING;
        }
        break;
    case IOCTL_QELASIO_STOP:
        EXPECT_EQ(before == CHANNEL_RUNNING ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, r.status);
        h.state = before == CHANNEL_RUNNING ? CHANNEL_PREPARED : before;
        break;
    case IOCTL_QELASIO_UNPREPARE:
        EXPECT_EQ(before == CHANNEL_PREPARED ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, r.status);
        h.state = before == CHANNEL_PREPARED ? CHANNEL_ACQUIRED : before;
        break;
    case IOCTL_QELASIO_RELEASE:
        EXPECT_EQ(before == CHANNEL_ACQUIRED ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, r.status);
        if (before == CHANNEL_ACQUIRED) {
            h.state = CHANNEL_OPEN;
            --owners_;
        }
        break;
    case IOCTL_QELASIO_SET_POSITION:
    case IOCTL_QELASIO_GET_POSITION:
        EXPECT_EQ(hostile ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS, r.status);
        break;
    case QELASIO_FUNCTION(0x805):
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, r.status);
        break;
    default:
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        break;
    }
    if (!NT_SUCCESS(r.status)) {
        EXPECT_EQ(0u, r.bytes);
    }
    EXPECT_LE(owners_, 1);
}

void ChannelSequenceE2ETest::io_step(model_process &p, model_handle &h, bool is_read)
{
    const bool running = owner_running();
    pending_io &io = h.requests.emplace_back();
    p.process->run([&] {
        if (is_read) {
            read(h.handle, io, 512);
        } else {
            write(h.handle, io, 512, static_cast<UCHAR>(++serial_));
        }
    });
    if (!running) {
        ASSERT_TRUE(io.wait());
        EXPECT_EQ(STATUS_UNSUCCESSFUL, io.status()) << (is_read ? "READ" : "WRITE") << " of a stopped channel";
    } else if (!is_read) {
        ASSERT_TRUE(io.wait()) << "a duplex WRITE completes at once";
        EXPECT_TRUE(io.status() == STATUS_SUCCESS || io.status() == STATUS_REINITIALIZATION_NEEDED)
            << std::hex << io.status();
    }
}

void ChannelSequenceE2ETest::step(std::mt19937 &random)
{
    const unsigned action = random() % 100;
    model_process &p = processes_[random() % processes_.size()];
    if (action < 8 || p.handles.empty()) {
        if (p.handles.size() < 3) {
            model_handle &h = p.handles.emplace_back();
            p.process->run([&] { h.handle = open_channel(path_); });
            ASSERT_NE(INVALID_HANDLE_VALUE, h.handle);
        }
        return;
    }
    const size_t index = random() % p.handles.size();
    model_handle &h = p.handles[index];
    if (action < 14) {
        const bool was_running = h.state == CHANNEL_RUNNING;
        p.process->run([&] { EXPECT_TRUE(CloseHandle(h.handle)); });
        for (pending_io &io : h.requests) {
            ASSERT_TRUE(io.wait()) << "CLEANUP ends the handle's requests";
        }
        forget(h);
        if (was_running) {
            EXPECT_FALSE(owner_running());
        }
        closed_requests_.push_back(std::move(h.requests));
        p.handles.erase(p.handles.begin() + static_cast<std::ptrdiff_t>(index));
    } else if (action < 17) {
        // The process dies with whatever it has open and pended.
        for (model_handle &dying : p.handles) {
            forget(dying);
            closed_requests_.push_back(std::move(dying.requests));
        }
        p.handles.clear();
        p.process->kill();
        p.process = std::make_unique<host_process>(L"respawned.exe");
    } else if (action < 25) {
        p.process->run([&] { CancelIoEx(h.handle, nullptr); });
        for (pending_io &io : h.requests) {
            ASSERT_TRUE(io.wait()) << "a cancelled request ends";
        }
    } else if (action < 40) {
        io_step(p, h, action < 35);
    } else {
        control_step(p, h, random);
    }
}

void ChannelSequenceE2ETest::run_sequence(unsigned seed, int steps)
{
    DEVICE_OBJECT *pdo = attach();
    ASSERT_NE(nullptr, pdo);
    path_ = channel_path(pdo);
    std::mt19937 random(seed);
    for (int i = 0; i < 3; ++i) {
        processes_.push_back({std::make_unique<host_process>(L"host.exe"), {}});
    }
    for (int i = 0; i < steps && !HasFatalFailure(); ++i) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << i);
        step(random);
    }
    // Every request of a living process ends once its handle is closed.
    for (model_process &p : processes_) {
        for (model_handle &h : p.handles) {
            p.process->run([&] { EXPECT_TRUE(CloseHandle(h.handle)); });
            for (pending_io &io : h.requests) {
                EXPECT_TRUE(io.wait());
                EXPECT_NE(STATUS_PENDING, io.status());
            }
        }
        p.handles.clear();
        p.process->kill();
    }
    processes_.clear();
}

TEST_F(ChannelSequenceE2ETest, RandomSequenceOneKeepsOneOwnerAndEndsEveryRequest)
{
    run_sequence(1, 200);
}

TEST_F(ChannelSequenceE2ETest, RandomSequenceTwoKeepsOneOwnerAndEndsEveryRequest)
{
    run_sequence(2, 200);
}

TEST_F(ChannelSequenceE2ETest, RandomSequenceThreeKeepsOneOwnerAndEndsEveryRequest)
{
    run_sequence(3, 200);
}

} // namespace
} // namespace e2e_test

// The streaming engine's fixture: machine, step-mode bus, driver start and the bus pump.
#include "EngineFixture.h"
#include <chrono>
#include <wdm.h>
#include <platform/pool.h>
#include <platform/verifier.h>
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"

namespace engine_test {
namespace {

// The bus counter wraps this many frames after the start, inside every run.
constexpr ULONG FRAMES_BEFORE_WRAP = 3000;
constexpr auto PUMP_WAIT = std::chrono::seconds(600);
// How long the pump waits for the engine's threads after a frame before it calls them stuck and
// moves on: far longer than a starved thread takes on a loaded machine, so that a test never
// sees the bus ahead of the engine, short enough that a stuck engine fails its test.
constexpr auto STALL_LIMIT = std::chrono::seconds(60);
constexpr std::uint64_t UNBOUNDED_TARGET = ~0ull >> 1;

HANDLE open_or_create(HANDLE root, const wchar_t *name)
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(STATUS_SUCCESS, ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition));
    return key;
}

} // namespace

void EngineTest::store_tuning(const wchar_t *name, ULONG value)
{
    HANDLE software = open_or_create(nullptr, L"\\Registry\\Machine\\SOFTWARE");
    HANDLE vendor = open_or_create(software, L"Qel");
    HANDLE key = open_or_create(vendor, L"Sample Device Performance");
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value)));
    ZwClose(key);
    ZwClose(vendor);
    ZwClose(software);
}

void EngineTest::start(sim::uac2_options descriptors, sim::audio_device_options options, ULONG rate, bool tapped)
{
    options.initial_rate = rate;
    start_device(sim::build_uac2_device(descriptors), options, rate, true, tapped);
}

void EngineTest::start_device(sim::device_descriptors descriptors, sim::audio_device_options options, ULONG rate,
                       bool store_rate, bool tapped)
{
    sim::host_controller_options bus_options;
    bus_options.drive = sim::bus_drive::step;
    bus_options.start_frame = 0xFFFFFFFFu - FRAMES_BEFORE_WRAP;
    machine.use_usb_bus(bus_options);
    device = std::make_shared<sim::audio_device>(std::move(descriptors), options);
    if (tapped) {
        tap = std::make_shared<sim::usb_tap>(device);
    }
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(tapped ? std::shared_ptr<sim::usb_device>(tap) : device, &pdo));
    ASSERT_NE(nullptr, pdo);

    if (store_rate) {
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key));
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"SampleRate");
        EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &name, 0, REG_DWORD, &rate, sizeof(rate)));
        ZwClose(key);
    }

    ASSERT_EQ(STATUS_SUCCESS, machine.load_driver("ovmlsaau"));
    PDRIVER_OBJECT driver = machine.driver("ovmlsaau");
    ASSERT_NE(nullptr, driver);
    ASSERT_EQ(STATUS_SUCCESS, driver->DriverExtension->AddDevice(driver, pdo));
    ASSERT_EQ(STATUS_SUCCESS, machine.send_pnp(pdo, IRP_MN_START_DEVICE));
    ASSERT_NE(nullptr, adapter());
    pump_ = std::thread([this] { pump_main(); });
}

void EngineTest::TearDown()
{
    if (pdo != nullptr && !detached && pump_.joinable()) {
        EXPECT_EQ(STATUS_SUCCESS, detach());
    }
    if (pump_.joinable()) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            quit_ = true;
        }
        changed_.notify_all();
        pump_.join();
    }
    // A frame moved on while the engine still had work ran the bus ahead of it: the counts and
    // data the test checked did not come from a paced run.
    EXPECT_EQ(0u, stalled_frames_.load()) << "the engine's threads still had work "
                                          << std::chrono::duration_cast<std::chrono::seconds>(STALL_LIMIT).count()
                                          << " s after a bus frame, and the bus moved on";
    if (machine.driver("ovmlsaau") != nullptr) {
        EXPECT_EQ(STATUS_SUCCESS, machine.unload_driver("ovmlsaau"));
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_TAG));
        EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_ADAPTER_TAG));
    }
    std::string why;
    EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
}

size_t EngineTest::traced_errors(std::string *First) const
{
    size_t count = 0;
    for (const platform::trace_record &r : errors.records()) {
        if (r.level != 0 && r.level <= TRACE_LEVEL_ERROR) {
            if (count++ == 0 && First != nullptr) {
                *First = r.function + ": " + r.text;
            }
        }
    }
    return count;
}

CAdapterCommon *EngineTest::adapter() const
{
    PADAPTERCOMMON common = this->common();
    return common != nullptr ? static_cast<CAdapterCommon *>(common) : nullptr;
}

PADAPTERCOMMON EngineTest::common() const
{
    if (pdo == nullptr || detached || pdo->AttachedDevice == nullptr) {
        return nullptr;
    }
    return AsyncExtension(pdo->AttachedDevice)->Adapter;
}

NTSTATUS EngineTest::detach()
{
    {
        // From the next frame on the pump no longer looks at the adapter that goes away.
        std::unique_lock<std::mutex> guard(lock_);
        detached = true;
        target_ = (target_ > done_ ? target_ : done_) + 1000000;
        changed_.notify_all();
        std::uint64_t seen = done_;
        changed_.wait(guard, [&] { return done_ >= seen + 2; });
    }
    NTSTATUS status = machine.detach(pdo);
    {
        std::lock_guard<std::mutex> guard(lock_);
        target_ = done_;
    }
    return status;
}

void EngineTest::run_in_background(ULONG frames)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        target_ = (target_ > done_ ? target_ : done_) + frames;
    }
    changed_.notify_all();
}

void EngineTest::wait_for_pump()
{
    std::unique_lock<std::mutex> guard(lock_);
    ASSERT_TRUE(changed_.wait_for(guard, PUMP_WAIT, [this] { return done_ >= target_; })) << "the bus pump stalled";
}

NTSTATUS EngineTest::while_pumping(const std::function<NTSTATUS()> &Call)
{
    // No frame budget: a call may block for the engine's 10 s start limit, longer than any
    // budget the pump would get through in that time.
    {
        std::lock_guard<std::mutex> guard(lock_);
        target_ = UNBOUNDED_TARGET;
    }
    changed_.notify_all();
    NTSTATUS status = Call();
    {
        std::lock_guard<std::mutex> guard(lock_);
        target_ = done_;
    }
    return status;
}

void EngineTest::run_frames(ULONG frames)
{
    run_in_background(frames);
    wait_for_pump();
}

void EngineTest::pump_main()
{
    std::unique_lock<std::mutex> guard(lock_);
    while (!quit_) {
        if (done_ >= target_) {
            changed_.wait(guard);
            continue;
        }
        bool settle = !detached;
        guard.unlock();
        machine.usb_bus().advance(1);
        KeFlushQueuedDpcs();
        CAdapterCommon *engine = settle ? adapter() : nullptr;
        if (engine != nullptr) {
            // The engine's own notion of pending leaves out what waits for the bus (a recovery
            // draining its transfers, render measuring captured data), so this wait ends
            // without the next frame however long a loaded machine starves a thread.
            // The answer that ended the wait counts: asked again, it may already be about the
            // next work a completion handed out.
            auto until = std::chrono::steady_clock::now() + STALL_LIMIT;
            bool settled = false;
            while (!(settled = !engine->EngineThreadsPending()) && std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
            if (!settled) {
                ++stalled_frames_;
            }
        }
        guard.lock();
        ++done_;
        changed_.notify_all();
    }
}

} // namespace engine_test

// The ASIO host's life cycle: its process and thread, the driver session (COM creation, init,
// queries, buffers, start, stop, release), reset handling on the host's own thread, and the
// callbacks that the driver calls on its streaming thread.
#include <sim/asio_host.h>
#include <objbase.h>
#include <windows.h>
#include <platform/clock.h>
#include <platform/process.h>
#include <platform/registry.h>
#include <array>
#include <chrono>
#include <cstring>
#include <cwctype>

namespace sim {

namespace {

// ASIO callbacks carry no context, so each live host takes one slot with its own trampolines.
constexpr int slot_count = 8;
std::array<std::atomic<asio_host *>, slot_count> g_slots{};

template <int N>
struct trampolines {
    static void buffer_switch(int32_t index, ASIOBool direct)
    {
        if (asio_host *host = g_slots[N].load()) {
            host->on_buffer_switch(index, direct, nullptr, false);
        }
    }
    static ASIOTime *buffer_switch_time_info(ASIOTime *params, int32_t index, ASIOBool direct)
    {
        if (asio_host *host = g_slots[N].load()) {
            host->on_buffer_switch(index, direct, params, true);
        }
        return nullptr;
    }
    static void rate_changed(ASIOSampleRate rate)
    {
        if (asio_host *host = g_slots[N].load()) {
            host->on_rate_change(rate);
        }
    }
    static int32_t message(int32_t selector, int32_t value, void *, double *)
    {
        asio_host *host = g_slots[N].load();
        return host != nullptr ? host->on_message(selector, value) : 0;
    }
    static ASIOCallbacks callbacks() { return {buffer_switch, rate_changed, message, buffer_switch_time_info}; }
};

template <int... N>
ASIOCallbacks callbacks_for(int slot, std::integer_sequence<int, N...>)
{
    const ASIOCallbacks table[] = {trampolines<N>::callbacks()...};
    return table[slot];
}

// The record handed to a driver lives as long as the module, not on the host thread's stack:
// a killed host's driver may still read it until its own threads have ended.
std::array<ASIOCallbacks, slot_count> g_callbacks{};

ASIOCallbacks *callbacks_for(int slot)
{
    g_callbacks[slot] = callbacks_for(slot, std::make_integer_sequence<int, slot_count>{});
    return &g_callbacks[slot];
}

int64_t samples_value(uint32_t hi, uint32_t lo)
{
    return (int64_t)(((uint64_t)hi << 32) | lo);
}

constexpr const WCHAR *window_class = L"OvmAsioHostWindow";

// A DSD channel buffer holds one bit per sample, a 32-bit device word 32 samples.
constexpr uint64_t dsd_samples_per_word = 32;

// Registry key names compare without regard to case.
bool same_name(const std::wstring &a, const std::wstring &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

struct asio_host::session {
    HWND window = nullptr;
    bool com = false;
    bool buffers = false;
    bool started = false;
    ASIOCallbacks *callbacks = nullptr;
};

asio_host::asio_host(asio_host_options options) : options_(std::move(options))
{
    for (int i = 0; i < slot_count && slot_ < 0; ++i) {
        asio_host *expected = nullptr;
        if (g_slots[i].compare_exchange_strong(expected, this)) {
            slot_ = i;
        }
    }
}

asio_host::~asio_host()
{
    if (process_ != nullptr) {
        if (!stop()) {
            kill();
        }
        if (thread_ != nullptr) {
            platform::thread_dereference(thread_);
        }
        platform::process_dereference(process_);
    }
    if (slot_ >= 0) {
        g_slots[slot_].store(nullptr);
    }
}

bool asio_host::start(uint32_t timeout_ms)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (state_ != asio_host_state::idle) {
            return false;
        }
        state_ = asio_host_state::starting;
        if (slot_ < 0) {
            state_ = asio_host_state::failed;
            error_ = "too many hosts at once";
            return false;
        }
    }
    process_ = platform::process_create(options_.image_name, options_.image_name);
    if (options_.wow64_32 && process_ != nullptr) {
        platform::registry_set_process_view(process_, platform::registry_view::wow64_32);
    }
    thread_ = platform::process_start_thread(process_, [this] { run(); });
    if (thread_ == nullptr) {
        fail("the host process could not start its thread");
        return false;
    }
    wait_for(timeout_ms, [this] { return state_ != asio_host_state::starting; });
    return state() == asio_host_state::running;
}

bool asio_host::stop(uint32_t timeout_ms)
{
    if (process_ == nullptr) {
        return true;
    }
    stop_requested_ = true;
    if (!platform::process_wait_threads(process_, timeout_ms)) {
        return false;
    }
    platform::process_terminate(process_, 0);
    std::lock_guard<std::mutex> guard(lock_);
    if (state_ == asio_host_state::running || state_ == asio_host_state::starting) {
        state_ = asio_host_state::stopped;
    }
    changed_.notify_all();
    return true;
}

void asio_host::kill()
{
    if (process_ == nullptr) {
        return;
    }
    set_state(asio_host_state::killed);
    platform::process_terminate(process_, 1);
    platform::process_wait_threads(process_, 10000);
}

void asio_host::run()
{
    session s;
    if (open_driver(s) && create_buffers(s)) {
        set_state(asio_host_state::running);
        while (!stop_requested_) {
            if (reset_requested_.exchange(false)) {
                // The driver asked from its own thread; rebuild the buffers here, never inside
                // the callback.
                dispose_buffers(s);
                if (options_.reload_on_reset) {
                    release_driver();
                    if (!load_driver()) {
                        break;
                    }
                }
                if (!create_buffers(s)) {
                    break;
                }
                std::lock_guard<std::mutex> guard(lock_);
                ++resets_;
                changed_.notify_all();
            }
            if (panel_requested_.exchange(false)) {
                const ASIOError result = driver_->controlPanel();
                std::lock_guard<std::mutex> guard(lock_);
                panel_result_ = result;
                ++panel_calls_;
                changed_.notify_all();
            }
            if (latencies_changed_.exchange(false)) {
                int32_t in = 0, out = 0;
                if (driver_->getLatencies(&in, &out) == ASE_OK) {
                    std::lock_guard<std::mutex> guard(lock_);
                    input_latency_ = in;
                    output_latency_ = out;
                    ++latency_changes_;
                    changed_.notify_all();
                }
            }
            Sleep(2);
        }
    }
    dispose_buffers(s);
    close_driver(s);
    std::lock_guard<std::mutex> guard(lock_);
    if (state_ == asio_host_state::running) {
        state_ = asio_host_state::stopped;
    }
    changed_.notify_all();
}

bool asio_host::open_driver(session &s)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        fail("CoInitializeEx failed");
        return false;
    }
    s.com = true;
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = window_class;
    RegisterClassW(&wc);
    s.window = CreateWindowExW(0, window_class, L"ASIO host", WS_OVERLAPPEDWINDOW, 0, 0, 320, 200, nullptr, nullptr,
                               wc.hInstance, nullptr);
    if (s.window == nullptr) {
        fail("the host window could not be created");
        return false;
    }

    const std::vector<asio_driver_entry> entries = asio_enumerate_drivers(options_.wow64_32);
    const asio_driver_entry *entry = nullptr;
    for (const asio_driver_entry &e : entries) {
        if (options_.driver.empty() || same_name(e.name, options_.driver)) {
            entry = &e;
            break;
        }
    }
    if (entry == nullptr) {
        fail("no such ASIO driver registered");
        return false;
    }
    clsid_ = entry->clsid;
    window_ = s.window;
    return load_driver();
}

// Creates the driver of clsid_ and initialises it with the host's window.
bool asio_host::load_driver()
{
    IASIO *driver = nullptr;
    const HRESULT hr = CoCreateInstance(clsid_, nullptr, CLSCTX_INPROC_SERVER, clsid_,
                                        reinterpret_cast<void **>(&driver));
    if (FAILED(hr) || driver == nullptr) {
        fail("CoCreateInstance failed");
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(stream_lock_);
        driver_ = driver;
    }
    if (driver->init(window_) != ASIOTrue) {
        char text[128] = {};
        driver->getErrorMessage(text);
        fail(std::string("init failed: ") + text);
        return false;
    }
    char name[33] = {};
    driver->getDriverName(name);
    const int32_t version = driver->getDriverVersion();
    std::lock_guard<std::mutex> guard(lock_);
    driver_name_ = name;
    driver_version_ = version;
    return true;
}

bool asio_host::create_buffers(session &s)
{
    IASIO *driver = driver_;
    int32_t in_count = 0, out_count = 0;
    if (driver->getChannels(&in_count, &out_count) != ASE_OK) {
        fail("getChannels failed");
        return false;
    }
    if (options_.io_format != kASIOPCMFormat) {
        ASIOIoFormat format{};
        format.FormatType = options_.io_format;
        if (driver->future(kAsioCanDoIoFormat, &format) != ASE_SUCCESS) {
            fail("the driver cannot do the io format " + std::to_string((int)options_.io_format));
            return false;
        }
        if (driver->future(kAsioSetIoFormat, &format) != ASE_SUCCESS) {
            fail("kAsioSetIoFormat failed");
            return false;
        }
    }
    if (options_.sample_rate > 0) {
        if (driver->canSampleRate(options_.sample_rate) != ASE_OK) {
            fail("the driver cannot run at the requested sample rate");
            return false;
        }
        if (driver->setSampleRate(options_.sample_rate) != ASE_OK) {
            fail("setSampleRate failed");
            return false;
        }
    }
    double rate = 0;
    if (driver->getSampleRate(&rate) != ASE_OK || rate <= 0) {
        fail("getSampleRate failed");
        return false;
    }
    // The sizes the driver offers depend on its rate and io format, so they are asked last.
    int32_t min_size = 0, max_size = 0, preferred = 0, granularity = 0;
    if (driver->getBufferSize(&min_size, &max_size, &preferred, &granularity) != ASE_OK) {
        fail("getBufferSize failed");
        return false;
    }
    const int32_t size = options_.buffer_size > 0 ? options_.buffer_size : preferred;

    std::vector<asio_channel> inputs, outputs;
    std::vector<ASIOBufferInfo> infos;
    const int32_t ins = options_.max_inputs < 0 ? in_count : std::min(in_count, options_.max_inputs);
    const int32_t outs = options_.max_outputs < 0 ? out_count : std::min(out_count, options_.max_outputs);
    for (int pass = 0; pass < 2; ++pass) {
        const bool input = pass == 0;
        for (int32_t i = 0; i < (input ? ins : outs); ++i) {
            ASIOChannelInfo info{};
            info.channel = i;
            info.isInput = input ? ASIOTrue : ASIOFalse;
            if (driver->getChannelInfo(&info) != ASE_OK) {
                fail("getChannelInfo failed");
                return false;
            }
            asio_channel channel;
            channel.number = i;
            channel.input = input;
            channel.type = info.type;
            channel.name.assign(info.name, strnlen(info.name, sizeof(info.name)));
            (input ? inputs : outputs).push_back(channel);
            infos.push_back(ASIOBufferInfo{info.isInput, i, {nullptr, nullptr}});
        }
    }
    s.callbacks = callbacks_for(slot_);
    asio_session_record session;
    {
        std::lock_guard<std::mutex> guard(stream_lock_);
        buffers_.clear();
        inputs_ = inputs;
        outputs_ = outputs;
        buffer_size_ = size;
        sample_rate_ = rate;
        last_switch_time_ = -1;
        last_position_ = -1;
        output_ready_ = options_.use_output_ready ? -1 : 0;
        capture_.resize(inputs.size());
        // The buffer switch appends captured audio without allocating or faulting in pages:
        // each channel's storage is reserved and touched here, as a recording host prepares
        // its buffers before it starts.
        for (size_t i = 0; i < capture_.size(); ++i) {
            const size_t width = sample_bytes(inputs[i].type);
            const size_t limit = options_.capture_frames * (width != 0 ? width : 1);
            std::vector<uint8_t> &kept = capture_[i];
            if (kept.capacity() < limit) {
                const size_t have = kept.size();
                kept.resize(limit);
                kept.resize(have);
            }
            session.capture_offsets.push_back(kept.size());
        }
    }
    if (driver->createBuffers(infos.data(), (int32_t)infos.size(), size, s.callbacks) != ASE_OK) {
        fail("createBuffers failed");
        return false;
    }
    s.buffers = true;
    int32_t in_latency = 0, out_latency = 0;
    driver->getLatencies(&in_latency, &out_latency);
    driver->getSampleRate(&rate);
    {
        std::lock_guard<std::mutex> guard(stream_lock_);
        buffers_ = infos;
        sample_rate_ = rate;
        streaming_ = true;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        input_latency_ = in_latency;
        output_latency_ = out_latency;
    }
    session.time = platform::clock_now();
    if (driver->start() != ASE_OK) {
        fail("start failed");
        return false;
    }
    s.started = true;
    session.buffer_size = size;
    session.sample_rate = rate;
    std::lock_guard<std::mutex> guard(lock_);
    sessions_.push_back(std::move(session));
    return true;
}

void asio_host::dispose_buffers(session &s)
{
    if (s.started) {
        driver_->stop();
        s.started = false;
    }
    {
        std::lock_guard<std::mutex> guard(stream_lock_);
        streaming_ = false;
        buffers_.clear();
    }
    if (s.buffers) {
        driver_->disposeBuffers();
        s.buffers = false;
    }
}

void asio_host::release_driver()
{
    IASIO *driver = nullptr;
    {
        std::lock_guard<std::mutex> guard(stream_lock_);
        std::swap(driver, driver_);
    }
    if (driver != nullptr) {
        driver->Release();
    }
}

void asio_host::close_driver(session &s)
{
    release_driver();
    if (s.window != nullptr) {
        DestroyWindow(s.window);
    }
    UnregisterClassW(window_class, GetModuleHandleW(nullptr));
    if (s.com) {
        CoUninitialize();
    }
}

void asio_host::on_buffer_switch(int32_t index, ASIOBool direct, const ASIOTime *time, bool with_time)
{
    const int64_t now = platform::clock_now();
    asio_callback_record r;
    r.kind = with_time ? asio_callback_kind::buffer_switch_time_info : asio_callback_kind::buffer_switch;
    r.time = now;
    r.index = index;
    r.value = direct;
    r.time_flags = time != nullptr ? time->timeInfo.flags : 0;
    bool drop_out = false;
    bool skipped = false;
    bool outside = false;
    IASIO *driver = nullptr;
    {
        std::lock_guard<std::mutex> guard(stream_lock_);
        if (!streaming_ || driver_ == nullptr || (index != 0 && index != 1)) {
            outside = true;
        } else {
            if (time != nullptr && (time->timeInfo.flags & kSamplePositionValid) != 0) {
                r.position = samples_value(time->timeInfo.samplePosition.hi, time->timeInfo.samplePosition.lo);
            } else {
                ASIOSamples position{};
                ASIOTimeStamp stamp{};
                if (driver_->getSamplePosition(&position, &stamp) == ASE_OK) {
                    r.position = samples_value(position.hi, position.lo);
                }
            }
            // Captured audio arrives once per USB frame (1 ms), so a switch can come up to one
            // frame after its ideal time even when nothing is lost: a period shorter than two
            // frames alternates between one and two frames. A switch is late past half a period
            // plus that frame.
            const int64_t period = (int64_t)(buffer_size_ * 10000000.0 / sample_rate_);
            const int64_t usb_frame = 10000;
            if (last_switch_time_ >= 0 && now - last_switch_time_ > period + period / 2 + usb_frame) {
                drop_out = true;
            }
            if (last_position_ >= 0 && r.position >= 0 && r.position != last_position_ + buffer_size_) {
                drop_out = true;
                skipped = true;
            }
            last_switch_time_ = now;
            last_position_ = r.position;

            size_t in = 0, out = 0;
            for (const ASIOBufferInfo &b : buffers_) {
                const asio_channel &channel = b.isInput ? inputs_[in] : outputs_[out];
                const size_t width = sample_bytes(channel.type);
                const size_t bytes = width != 0 ? (size_t)buffer_size_ * width : (size_t)buffer_size_ / 8;
                auto *data = static_cast<uint8_t *>(b.buffers[index]);
                if (data == nullptr) {
                    b.isInput ? ++in : ++out;
                    continue;
                }
                if (b.isInput) {
                    std::vector<uint8_t> &kept = capture_[in];
                    const size_t limit = options_.capture_frames * (width != 0 ? width : 1);
                    const size_t take = kept.size() < limit ? std::min(bytes, limit - kept.size()) : 0;
                    kept.insert(kept.end(), data, data + take);
                    ++in;
                } else if (width != 0) {
                    for (int32_t f = 0; f < buffer_size_; ++f) {
                        encode_signal(channel.type, channel.number, output_frame_ + (uint64_t)f, data + f * width);
                    }
                    ++out;
                } else {
                    const uint64_t first_word = output_frame_ / dsd_samples_per_word;
                    for (size_t w = 0; w < bytes / 4; ++w) {
                        encode_signal(ASIOSTInt32LSB, channel.number, first_word + w, data + w * 4);
                    }
                    ++out;
                }
            }
            output_frame_ += (uint64_t)buffer_size_;
            driver = output_ready_ != 0 ? driver_ : nullptr;
        }
    }
    if (driver != nullptr) {
        const ASIOError result = driver->outputReady();
        std::lock_guard<std::mutex> guard(stream_lock_);
        if (output_ready_ < 0) {
            output_ready_ = result == ASE_OK ? 1 : 0;
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (outside) {
        outside_session_ = true;
    } else {
        ++switches_;
        drop_outs_ += drop_out ? 1 : 0;
        position_skips_ += skipped ? 1 : 0;
    }
    records_.push_back(r);
    changed_.notify_all();
}

int32_t asio_host::on_message(int32_t selector, int32_t value)
{
    int32_t result = 0;
    switch (selector) {
    case kAsioSelectorSupported:
        result = (value == kAsioEngineVersion || value == kAsioResetRequest || value == kAsioBufferSizeChange ||
                  value == kAsioResyncRequest || value == kAsioLatenciesChanged ||
                  (value == kAsioSupportsTimeInfo && options_.time_info))
                     ? 1
                     : 0;
        break;
    case kAsioEngineVersion:
        result = options_.engine_version;
        break;
    case kAsioResetRequest:
    case kAsioBufferSizeChange:
        reset_requested_ = true;
        result = 1;
        break;
    case kAsioResyncRequest:
        result = 1;
        break;
    case kAsioLatenciesChanged:
        latencies_changed_ = true;
        result = 1;
        break;
    case kAsioSupportsTimeInfo:
        result = options_.time_info ? 1 : 0;
        break;
    default:
        break;
    }
    asio_callback_record r;
    r.kind = asio_callback_kind::asio_message;
    r.time = platform::clock_now();
    r.index = selector;
    r.value = value;
    r.result = result;
    record(r);
    return result;
}

void asio_host::on_rate_change(double rate)
{
    asio_callback_record r;
    r.kind = asio_callback_kind::sample_rate_did_change;
    r.time = platform::clock_now();
    r.value = (int32_t)rate;
    record(r);
}

void asio_host::record(const asio_callback_record &r)
{
    std::lock_guard<std::mutex> guard(lock_);
    records_.push_back(r);
    changed_.notify_all();
}

void asio_host::fail(const std::string &text)
{
    std::lock_guard<std::mutex> guard(lock_);
    error_ = text;
    state_ = asio_host_state::failed;
    changed_.notify_all();
}

void asio_host::set_state(asio_host_state state)
{
    std::lock_guard<std::mutex> guard(lock_);
    state_ = state;
    changed_.notify_all();
}

bool asio_host::wait_for(uint32_t timeout_ms, const std::function<bool()> &condition) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms), condition);
}

bool asio_host::wait_buffer_switches(uint64_t count, uint32_t timeout_ms)
{
    return wait_for(timeout_ms, [&] { return switches_ >= count; });
}

bool asio_host::wait_resets(uint64_t count, uint32_t timeout_ms)
{
    return wait_for(timeout_ms, [&] { return resets_ >= count; });
}

bool asio_host::open_control_panel(uint32_t timeout_ms, ASIOError *result)
{
    uint64_t calls = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (state_ != asio_host_state::running) {
            return false;
        }
        calls = panel_calls_;
    }
    panel_requested_ = true;
    if (!wait_for(timeout_ms, [&] { return panel_calls_ > calls; })) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    *result = panel_result_;
    return true;
}

} // namespace sim

// A small ASIO driver for testing the host: an in-process COM server whose stream thread is
// clocked by the machine clock, hands the host alternate buffer halves, loops each output
// channel back to the input channel of the same number one period later, and counts what the
// host called.
#include <objbase.h>
#include <windows.h>
#include <AsioInterface.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>
#include "TestAsioProtocol.h"

namespace {

std::mutex g_lock; // guards g_stats (except the counters the stream thread bumps) and g_messages
test_asio_stats g_stats{};
std::atomic<int64_t> g_switches{0};
std::atomic<int32_t> g_skip{0};
std::vector<std::pair<int32_t, int32_t>> g_messages;
std::atomic<LONG> g_locks{0};
class TestAsioDriver;
std::vector<TestAsioDriver *> g_objects; // guarded by g_lock

DWORD read_dword(HKEY key, const WCHAR *name, DWORD fallback)
{
    DWORD value = 0;
    DWORD type = 0;
    DWORD bytes = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return fallback;
    }
    return value;
}

size_t width_of(ASIOSampleType type)
{
    return type == ASIOSTInt16LSB ? 2 : type == ASIOSTInt24LSB ? 3 : 4;
}

class TestAsioDriver final : public IASIO {
public:
    TestAsioDriver()
    {
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_stats.objects;
        g_objects.push_back(this);
    }

    // Frees an object whose host process was killed: its thread and handles went with the
    // process, so only the memory is left.
    void Discard()
    {
        m_thread = nullptr;
        m_stop = nullptr;
        m_prepared = false;
        delete this;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, CLSID_OvmTestAsio)) {
            *ppv = static_cast<IASIO *>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return (ULONG)++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG left = --m_refs;
        if (left == 0) {
            delete this;
        }
        return (ULONG)left;
    }

    ASIOBool init(void *sysHandle) override
    {
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_stats.init_calls;
        g_stats.init_window_valid = IsWindow(static_cast<HWND>(sysHandle)) ? 1 : 0;
        HKEY key = nullptr;
        std::wstring path = std::wstring(L"SOFTWARE\\ASIO\\") + TEST_ASIO_NAME;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            m_type = (ASIOSampleType)read_dword(key, TEST_ASIO_SAMPLE_TYPE, ASIOSTInt32LSB);
            m_inputs = (int32_t)read_dword(key, TEST_ASIO_INPUTS, 2);
            m_outputs = (int32_t)read_dword(key, TEST_ASIO_OUTPUTS, 2);
            m_preferred = (int32_t)read_dword(key, TEST_ASIO_PREFERRED, 256);
            m_output_ready = read_dword(key, TEST_ASIO_OUTPUT_READY, 1) != 0;
            const bool fail = read_dword(key, TEST_ASIO_FAIL_INIT, 0) != 0;
            RegCloseKey(key);
            if (fail) {
                strcpy(m_error, "The test driver was told to fail.\n");
                return ASIOFalse;
            }
        }
        m_initialized = true;
        return ASIOTrue;
    }
    void getDriverName(char *name) override { strcpy(name, "OVM Test ASIO"); }
    int32_t getDriverVersion() override { return 3; }
    void getErrorMessage(char *string) override { strcpy(string, m_error); }

    ASIOError start() override
    {
        if (!m_prepared || m_thread != nullptr) {
            return ASE_InvalidMode;
        }
        {
            std::lock_guard<std::mutex> guard(g_lock);
            ++g_stats.start_calls;
        }
        m_position = 0;
        m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_thread = CreateThread(nullptr, 0, stream_thread, this, 0, nullptr);
        return m_thread != nullptr ? ASE_OK : ASE_HWMalfunction;
    }
    ASIOError stop() override
    {
        if (m_thread == nullptr) {
            return ASE_InvalidMode;
        }
        SetEvent(m_stop);
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        CloseHandle(m_stop);
        m_thread = nullptr;
        m_stop = nullptr;
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_stats.stop_calls;
        return ASE_OK;
    }
    ASIOError getChannels(int32_t *inputs, int32_t *outputs) override
    {
        if (!m_initialized) {
            return ASE_NotPresent;
        }
        if (inputs == nullptr || outputs == nullptr) {
            return ASE_InvalidParameter;
        }
        *inputs = m_inputs;
        *outputs = m_outputs;
        return ASE_OK;
    }
    ASIOError getLatencies(int32_t *input, int32_t *output) override
    {
        if (input == nullptr || output == nullptr) {
            return ASE_InvalidParameter;
        }
        const int32_t frames = m_prepared ? m_size : m_preferred;
        *input = frames;
        *output = frames;
        return ASE_OK;
    }
    ASIOError getBufferSize(int32_t *min, int32_t *max, int32_t *preferred,
                            int32_t *granularity) override
    {
        if (min == nullptr || max == nullptr || preferred == nullptr || granularity == nullptr) {
            return ASE_InvalidParameter;
        }
        *min = 32;
        *max = 4096;
        *preferred = m_preferred;
        *granularity = 1;
        return ASE_OK;
    }
    ASIOError canSampleRate(ASIOSampleRate rate) override
    {
        return rate == 44100.0 || rate == 48000.0 || rate == 96000.0 ? ASE_OK : ASE_NoClock;
    }
    ASIOError getSampleRate(ASIOSampleRate *rate) override
    {
        if (rate == nullptr) {
            return ASE_InvalidParameter;
        }
        *rate = m_rate;
        return ASE_OK;
    }
    ASIOError setSampleRate(ASIOSampleRate rate) override
    {
        if (canSampleRate(rate) != ASE_OK) {
            return ASE_NoClock;
        }
        if (m_thread != nullptr && rate != m_rate) {
            return ASE_InvalidMode;
        }
        m_rate = rate;
        return ASE_OK;
    }
    ASIOError getClockSources(ASIOClockSource *clocks, int32_t *count) override
    {
        if (clocks == nullptr || count == nullptr) {
            return ASE_InvalidParameter;
        }
        clocks[0] = ASIOClockSource{0, -1, -1, ASIOTrue, "Internal"};
        *count = 1;
        return ASE_OK;
    }
    ASIOError setClockSource(int32_t reference) override
    {
        return reference == 0 ? ASE_OK : ASE_NotPresent;
    }
    ASIOError getSamplePosition(ASIOSamples *position, ASIOTimeStamp *stamp) override
    {
        if (position == nullptr || stamp == nullptr) {
            return ASE_InvalidParameter;
        }
        const uint64_t p = (uint64_t)m_position.load();
        *position = ASIOSamples{(uint32_t)(p >> 32), (uint32_t)p};
        const uint64_t t = (uint64_t)m_stamp.load();
        *stamp = ASIOTimeStamp{(uint32_t)(t >> 32), (uint32_t)t};
        return ASE_OK;
    }
    ASIOError getChannelInfo(ASIOChannelInfo *info) override
    {
        if (info == nullptr) {
            return ASE_InvalidParameter;
        }
        if (info->channel < 0 || info->channel >= (info->isInput ? m_inputs : m_outputs)) {
            return ASE_InvalidParameter;
        }
        info->isActive = ASIOFalse;
        for (const stream_channel &c : m_channels) {
            if (c.input == (info->isInput != 0) && c.number == info->channel) {
                info->isActive = ASIOTrue;
            }
        }
        info->channelGroup = 0;
        info->type = m_type;
        snprintf(info->name, sizeof(info->name), "Test %s %d", info->isInput ? "In" : "Out", info->channel + 1);
        return ASE_OK;
    }
    ASIOError createBuffers(ASIOBufferInfo *infos, int32_t count, int32_t size,
                            ASIOCallbacks *callbacks) override
    {
        if (!m_initialized || m_prepared) {
            return ASE_InvalidMode;
        }
        if (infos == nullptr || callbacks == nullptr || count <= 0 || size < 32 || size > 4096) {
            return ASE_InvalidParameter;
        }
        std::vector<stream_channel> channels;
        for (int32_t i = 0; i < count; ++i) {
            const bool input = infos[i].isInput != 0;
            const int32_t n = infos[i].channelNum;
            if (n < 0 || n >= (input ? m_inputs : m_outputs)) {
                return ASE_InvalidParameter;
            }
            for (const stream_channel &c : channels) {
                if (c.input == input && c.number == n) {
                    return ASE_InvalidParameter;
                }
            }
            stream_channel c;
            c.input = input;
            c.number = n;
            c.halves[0].assign((size_t)size * width_of(m_type), 0);
            c.halves[1].assign((size_t)size * width_of(m_type), 0);
            channels.push_back(std::move(c));
        }
        m_channels = std::move(channels);
        for (int32_t i = 0; i < count; ++i) {
            infos[i].buffers[0] = m_channels[(size_t)i].halves[0].data();
            infos[i].buffers[1] = m_channels[(size_t)i].halves[1].data();
        }
        m_callbacks = *callbacks;
        m_size = size;
        m_time_info = false;
        int32_t version = 0;
        if (m_callbacks.asioMessage != nullptr) {
            version = m_callbacks.asioMessage(kAsioEngineVersion, 0, nullptr, nullptr);
            m_time_info = m_callbacks.asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0;
        }
        m_prepared = true;
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_stats.create_buffers_calls;
        g_stats.time_info_mode = m_time_info ? 1 : 0;
        g_stats.engine_version = version;
        return ASE_OK;
    }
    ASIOError disposeBuffers() override
    {
        if (!m_prepared) {
            return ASE_InvalidMode;
        }
        if (m_thread != nullptr) {
            stop();
        }
        m_channels.clear();
        m_prepared = false;
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_stats.dispose_calls;
        return ASE_OK;
    }
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(int32_t selector, void *) override
    {
        return selector == kAsioCanTimeInfo ? ASE_SUCCESS : ASE_InvalidParameter;
    }
    ASIOError outputReady() override
    {
        if (!m_output_ready) {
            return ASE_NotPresent;
        }
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_stats.output_ready_calls;
        return ASE_OK;
    }

private:
    struct stream_channel {
        bool input = false;
        int32_t number = 0;
        std::vector<uint8_t> halves[2];
    };

    ~TestAsioDriver()
    {
        if (m_prepared) {
            disposeBuffers();
        }
        std::lock_guard<std::mutex> guard(g_lock);
        --g_stats.objects;
        g_objects.erase(std::find(g_objects.begin(), g_objects.end(), this));
    }

    static LONGLONG ticks_now()
    {
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        return now.QuadPart;
    }

    static DWORD WINAPI stream_thread(LPVOID context)
    {
        static_cast<TestAsioDriver *>(context)->stream();
        return 0;
    }

    // Each output half the host filled comes back on the input of the same number one
    // period later.
    void loop_back(int index)
    {
        for (stream_channel &in : m_channels) {
            if (!in.input) {
                continue;
            }
            std::fill(in.halves[index].begin(), in.halves[index].end(), 0);
            for (const stream_channel &out : m_channels) {
                if (!out.input && out.number == in.number) {
                    in.halves[index] = out.halves[1 - index];
                }
            }
        }
    }

    void stream()
    {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        const double period = (double)m_size * (double)frequency.QuadPart / m_rate;
        const LONGLONG begin = ticks_now();
        int64_t periods = 0;
        for (int64_t k = 0; WaitForSingleObject(m_stop, 0) != WAIT_OBJECT_0; ++k) {
            periods += 1 + g_skip.exchange(0);
            const LONGLONG due = begin + (LONGLONG)(period * (double)periods);
            for (;;) {
                const LONGLONG left = due - ticks_now();
                const DWORD wait = left <= 0 ? 0 : (DWORD)((left * 1000 + frequency.QuadPart - 1) / frequency.QuadPart);
                if (left <= 0) {
                    break;
                }
                if (WaitForSingleObject(m_stop, wait) == WAIT_OBJECT_0) {
                    return;
                }
            }
            const int index = (int)(k & 1);
            m_position = (periods - 1) * m_size;
            m_stamp = ticks_now();
            loop_back(index);
            std::vector<std::pair<int32_t, int32_t>> messages;
            {
                std::lock_guard<std::mutex> guard(g_lock);
                messages.swap(g_messages);
            }
            for (const auto &[selector, value] : messages) {
                if (m_callbacks.asioMessage != nullptr) {
                    m_callbacks.asioMessage(selector, value, nullptr, nullptr);
                }
            }
            if (m_time_info) {
                ASIOTime time{};
                time.timeInfo.speed = 1.0;
                time.timeInfo.sampleRate = m_rate;
                getSamplePosition(&time.timeInfo.samplePosition, &time.timeInfo.systemTime);
                time.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
                m_callbacks.bufferSwitchTimeInfo(&time, index, ASIOTrue);
            } else {
                m_callbacks.bufferSwitch(index, ASIOTrue);
            }
            ++g_switches;
        }
    }

    std::atomic<LONG> m_refs{1};
    char m_error[124] = "";
    bool m_initialized = false;
    bool m_prepared = false;
    bool m_time_info = false;
    bool m_output_ready = true;
    ASIOSampleType m_type = ASIOSTInt32LSB;
    int32_t m_inputs = 2;
    int32_t m_outputs = 2;
    int32_t m_preferred = 256;
    int32_t m_size = 0;
    double m_rate = 48000.0;
    std::vector<stream_channel> m_channels;
    ASIOCallbacks m_callbacks{};
    HANDLE m_thread = nullptr;
    HANDLE m_stop = nullptr;
    std::atomic<int64_t> m_position{0};
    std::atomic<int64_t> m_stamp{0};
};

class TestAsioFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto *driver = new (std::nothrow) TestAsioDriver();
        if (driver == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = driver->QueryInterface(riid, ppv);
        driver->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        lock ? ++g_locks : --g_locks;
        return S_OK;
    }
};

TestAsioFactory g_factory;

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!IsEqualGUID(rclsid, CLSID_OvmTestAsio)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_stats.objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

extern "C" void OvmTestAsioStats(test_asio_stats *stats)
{
    std::lock_guard<std::mutex> guard(g_lock);
    *stats = g_stats;
    stats->switches = g_switches.load();
}

extern "C" void OvmTestAsioQueueMessage(int32_t selector, int32_t value)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_messages.emplace_back(selector, value);
}

extern "C" void OvmTestAsioSkip(int32_t periods)
{
    g_skip += periods;
}

extern "C" void OvmTestAsioResetStats()
{
    std::lock_guard<std::mutex> guard(g_lock);
    const int32_t objects = g_stats.objects;
    g_stats = test_asio_stats{};
    g_stats.objects = objects;
    g_switches = 0;
    g_messages.clear();
}

extern "C" void OvmTestAsioDiscardOrphans()
{
    std::vector<TestAsioDriver *> objects;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        objects = g_objects;
    }
    for (TestAsioDriver *object : objects) {
        object->Discard();
    }
}

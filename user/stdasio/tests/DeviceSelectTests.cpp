// Device selection at init and the rate probe, on a driver object over simulated USB endpoint
// pairs: the setting "selected" and its fallbacks, the settings written back, and the order in
// which the two stream rates are probed.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <memory>
#include <string>
#include <platform/audio_endpoint.h>
#include <sim/audio_endpoints.h>
#include <sim/machine.h>
#include "DeviceList.h"
#include "OVASIO.h"
#include "Settings.h"
#include "Stream.h"

namespace {

sim::usb_endpoint_pair_options Device(const std::wstring &instance, std::vector<ULONG> rates = {44100, 48000})
{
    sim::usb_endpoint_pair_options options;
    options.instance = instance;
    options.rates = std::move(rates);
    options.bits = {16};
    options.device_name = L"Marla " + instance;
    return options;
}

class DeviceSelectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_machine = std::make_unique<sim::machine>();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        HRESULT hr = S_OK;
        INonDelegatingUnknown *unknown = OVASIO::CreateInstance(nullptr, &hr);
        ASSERT_NE(unknown, nullptr);
        unknown->InnerAddRef();
        m_driver = static_cast<OVASIO *>(unknown);
        ASSERT_NE(m_driver->m_devices, nullptr);
        ASSERT_NE(m_driver->m_settings, nullptr);
    }
    void TearDown() override
    {
        if (m_driver != nullptr) {
            static_cast<INonDelegatingUnknown *>(m_driver)->InnerRelease();
        }
        m_pairs.clear();
        CoUninitialize();
        m_machine.reset();
    }

    sim::usb_endpoint_pair &Plug(const sim::usb_endpoint_pair_options &options)
    {
        m_pairs.push_back(std::make_unique<sim::usb_endpoint_pair>(options));
        return *m_pairs.back();
    }

    void StoreSettings(const WCHAR *selected, DWORD rate, DWORD frames)
    {
        ASSERT_TRUE(m_driver->m_settings->createDefaults());
        OVSETTINGSRECORD record = OvDefaultSettings;
        wcsncpy(record.selected, selected, OV_SELECTED_CHARS - 1);
        record.samplingRate = rate;
        record.bufferSize = frames;
        ASSERT_TRUE(m_driver->m_settings->save(&record));
    }

    OVSETTINGSRECORD StoredSettings()
    {
        OVSETTINGSRECORD record = {};
        EXPECT_TRUE(m_driver->m_settings->load(&record));
        return record;
    }

    // The streams init would create, for the probe.
    void CreateStreams()
    {
        m_driver->m_render = new OVRENDER(m_driver, m_driver->m_renderQueue);
        m_driver->m_capture = new OVCAPTURE(m_driver);
    }

    std::unique_ptr<sim::machine> m_machine;
    std::vector<std::unique_ptr<sim::usb_endpoint_pair>> m_pairs;
    OVASIO *m_driver = nullptr;
};

TEST_F(DeviceSelectTest, AnEmptySelectionMakesTheFirstDeviceCurrentAndStoresItsKeyAnd44100)
{
    const sim::usb_endpoint_pair &first = Plug(Device(L"OVS1"));
    Plug(Device(L"OVS2"));
    m_driver->selectDevice();

    EXPECT_EQ(std::wstring(m_driver->m_deviceId), first.device_key());
    EXPECT_EQ(m_driver->m_sampleRate, 44100u);
    EXPECT_EQ(m_driver->m_bufferFrames, 512u);
    EXPECT_EQ(m_driver->m_inputChannels, 2);
    EXPECT_EQ(m_driver->m_outputChannels, 2);
    EXPECT_EQ(m_driver->m_bitsPerSample, 16);
    EXPECT_EQ(m_driver->m_bytesPerSample, 2);
    EXPECT_EQ(m_driver->m_periodTenths, 116u);
    EXPECT_EQ(m_driver->m_currentFrames, 512u);
    EXPECT_EQ(m_driver->m_halfBytes, 1024u);
    DWORD index = 9;
    ASSERT_TRUE(m_driver->m_devices->findSelected(&index));
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(m_driver->m_devices->count(), 2u);

    const OVSETTINGSRECORD stored = StoredSettings();
    EXPECT_EQ(std::wstring(stored.selected), first.device_key());
    EXPECT_EQ(stored.samplingRate, 44100u);
    EXPECT_EQ(stored.bufferSize, 512u);
}

TEST_F(DeviceSelectTest, TheStoredDeviceIsCurrentWithTheStoredRateAndBufferSize)
{
    Plug(Device(L"OVS1"));
    const sim::usb_endpoint_pair &second = Plug(Device(L"OVS2"));
    StoreSettings(second.device_key().c_str(), 48000, 256);
    m_driver->selectDevice();

    EXPECT_EQ(std::wstring(m_driver->m_deviceId), second.device_key());
    EXPECT_EQ(m_driver->m_sampleRate, 48000u);
    EXPECT_EQ(m_driver->m_bufferFrames, 256u);
    EXPECT_EQ(m_driver->m_halfBytes, 512u);
    EXPECT_EQ(m_driver->m_periodTenths, 53u);
    DWORD index = 9;
    ASSERT_TRUE(m_driver->m_devices->findSelected(&index));
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(std::wstring(m_driver->m_devices->recordAt(index)->captureId), second.capture_id());
}

TEST_F(DeviceSelectTest, AStoredDeviceThatIsGoneFallsBackToTheFirstAndRewritesTheSettings)
{
    const sim::usb_endpoint_pair &first = Plug(Device(L"OVS1"));
    StoreSettings(L"USB\\VID_3A51&PID_0201\\GONE", 48000, 1024);
    m_driver->selectDevice();

    EXPECT_EQ(std::wstring(m_driver->m_deviceId), first.device_key());
    EXPECT_EQ(m_driver->m_sampleRate, 44100u);
    EXPECT_EQ(m_driver->m_bufferFrames, 1024u);
    const OVSETTINGSRECORD stored = StoredSettings();
    EXPECT_EQ(std::wstring(stored.selected), first.device_key());
    EXPECT_EQ(stored.samplingRate, 44100u);
    EXPECT_EQ(stored.bufferSize, 1024u);
}

TEST_F(DeviceSelectTest, WithoutASupportedDeviceTheDefaultsApplyAndNothingIsStored)
{
    sim::usb_endpoint_pair_options other = Device(L"X");
    other.vendor_id = 0x1234;
    Plug(other);
    StoreSettings(L"USB\\VID_3A51&PID_0201\\GONE", 48000, 256);
    m_driver->selectDevice();

    EXPECT_FALSE(m_driver->m_devices->hasDevices());
    EXPECT_EQ(m_driver->m_deviceId[0], L'\0');
    EXPECT_EQ(m_driver->m_sampleRate, 44100u);
    EXPECT_EQ(m_driver->m_bufferFrames, 512u);
    EXPECT_EQ(m_driver->m_inputChannels, 0);
    EXPECT_EQ(m_driver->m_outputChannels, 0);
    EXPECT_EQ(m_driver->m_halfBytes, 1024u);
    const OVSETTINGSRECORD stored = StoredSettings();
    EXPECT_STREQ(stored.selected, L"USB\\VID_3A51&PID_0201\\GONE");
    EXPECT_EQ(stored.samplingRate, 48000u);
}

TEST_F(DeviceSelectTest, TheRequestedRateIsProbedFirstAndAnyOtherRequestStartsAt44100)
{
    Plug(Device(L"OVS1"));
    CreateStreams();
    m_driver->selectDevice();
    struct row {
        DWORD requested;
        DWORD expected;
    };
    for (const row &r : {row{44100, 44100}, row{48000, 48000}, row{96000, 44100}, row{0, 44100}}) {
        SCOPED_TRACE(r.requested);
        DWORD rate = 1;
        EXPECT_TRUE(m_driver->getOperatableFs(&rate, r.requested));
        EXPECT_EQ(rate, r.expected);
    }
    EXPECT_EQ(platform::audio_endpoint_client_count(m_pairs[0]->render_id()), 0u);
    EXPECT_EQ(platform::audio_endpoint_client_count(m_pairs[0]->capture_id()), 0u);
    EXPECT_FALSE(m_driver->probeRate(32000));
    EXPECT_FALSE(m_driver->probeRate(96000));
}

TEST_F(DeviceSelectTest, ARateOnlyOneOfTheTwoStreamRatesOpensIsTheOneReturned)
{
    Plug(Device(L"OVS1", {44100}));
    CreateStreams();
    m_driver->selectDevice();
    DWORD rate = 1;
    EXPECT_TRUE(m_driver->getOperatableFs(&rate, 48000));
    EXPECT_EQ(rate, 44100u);
    EXPECT_FALSE(m_driver->probeRate(48000));
    EXPECT_TRUE(m_driver->probeRate(44100));
}

TEST_F(DeviceSelectTest, NeitherRateOpensOrNoDeviceIsCurrent)
{
    Plug(Device(L"OVS1", {32000, 96000}));
    CreateStreams();
    m_driver->selectDevice();
    DWORD rate = 1;
    EXPECT_FALSE(m_driver->getOperatableFs(&rate, 44100));
    EXPECT_EQ(rate, 1u);

    m_pairs.clear();
    m_driver->selectDevice();
    EXPECT_FALSE(m_driver->probeRate(44100));
}

TEST_F(DeviceSelectTest, TheProbeLeavesAStreamThatIsOpenForStreamingAlone)
{
    const sim::usb_endpoint_pair &device = Plug(Device(L"OVS1"));
    CreateStreams();
    m_driver->selectDevice();
    ASSERT_EQ(m_driver->m_capture->getDevice(device.capture_id().c_str()), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(m_driver->m_capture->activate(), (DWORD)OV_STREAM_OK);

    EXPECT_FALSE(m_driver->probeRate(44100));
    EXPECT_EQ(m_driver->m_capture->getDevice(device.capture_id().c_str()), (DWORD)OV_STREAM_PRESENT);
    EXPECT_EQ(m_driver->m_capture->activate(), (DWORD)OV_STREAM_PRESENT);
    EXPECT_EQ(platform::audio_endpoint_client_count(device.capture_id()), 1u);
    EXPECT_EQ(platform::audio_endpoint_client_count(device.render_id()), 0u);
    m_driver->m_capture->close();
}

} // namespace

// CAdapterCommon and CMiniportWaveRT driven directly: tuning values, reservations, pin
// questions, data-range intersection, stream creation and its reservation, component ID.
#include "AsyncDriverFixture.h"
#include <ksmedia.h>
#include <platform/pool.h>
#include "AdapterCommon.h"
#include "AdapterFilter.h"
#include "AsyncPoolTags.h"
#include "MiniportWaveRT.h"

namespace async_test {
namespace {

class AdapterTest : public AsyncDriverTest {
protected:
    void TearDown() override
    {
        if (miniport != nullptr) {
            miniport->Release();
        }
        if (port != nullptr) {
            port->Release();
        }
        if (common != nullptr) {
            common->Release();
        }
        AsyncDriverTest::TearDown();
    }

    // Attaches the default device with the stored rate and initialises an adapter on it; a
    // device that streams sits on the simulated bus.
    void init_adapter(ULONG rate = 48000, bool on_bus = false)
    {
        if (on_bus) {
            attach_on_bus(sim::build_uac2_device({}));
        } else {
            attach_default();
        }
        store_dword(L"SampleRate", rate);
        common = new (NonPagedPoolNx, ASYNC_ADAPTER_TAG) CAdapterCommon(nullptr);
        ASSERT_NE(nullptr, common);
        common->AddRef();
        ASSERT_EQ(STATUS_SUCCESS, common->Init(device_pdo(), nullptr));
    }

    // A WaveRT port and the miniport initialised with it and the adapter.
    void init_miniport()
    {
        init_adapter();
        PPORT plain = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, PcNewPort(&plain, CLSID_PortWaveRT));
        ASSERT_EQ(STATUS_SUCCESS, plain->QueryInterface(IID_IPortWaveRT, reinterpret_cast<void **>(&port)));
        plain->Release();
        PUNKNOWN unknown = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, CreateMiniportWaveRT(&unknown, CLSID_PortWaveRT, nullptr, NonPagedPoolNx));
        miniport = static_cast<CMiniportWaveRT *>(reinterpret_cast<IMiniportWaveRTExt *>(unknown));
        ASSERT_EQ(STATUS_SUCCESS,
                  miniport->Init(static_cast<IAdapterCommon *>(common), nullptr, port));
    }

    ULONG find_pin(BOOLEAN capture, BOOLEAN bridge)
    {
        PPCFILTER_DESCRIPTOR filter = common->GetFilterDescriptor();
        for (ULONG pin = 0; filter != nullptr && pin < filter->PinCount; ++pin) {
            auto element = reinterpret_cast<const PCPIN_DESCRIPTOR *>(reinterpret_cast<const UCHAR *>(filter->Pins) +
                                                                      pin * filter->PinSize);
            bool isBridge = element->KsPinDescriptor.Communication == KSPIN_COMMUNICATION_BRIDGE;
            if (common->IsCapturePin(pin) == capture && isBridge == (bridge != FALSE)) {
                return pin;
            }
        }
        return ~0u;
    }

    static KSDATAFORMAT_WAVEFORMATEXTENSIBLE stream_format(ULONG rate, ULONG channels, ULONG bits)
    {
        KSDATAFORMAT_WAVEFORMATEXTENSIBLE format{};
        format.DataFormat.FormatSize = sizeof(format);
        format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        format.WaveFormatExt.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.WaveFormatExt.Format.nChannels = static_cast<WORD>(channels);
        format.WaveFormatExt.Format.nSamplesPerSec = rate;
        format.WaveFormatExt.Format.wBitsPerSample = static_cast<WORD>(bits);
        format.WaveFormatExt.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
        format.WaveFormatExt.Format.cbSize = 22;
        format.WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        return format;
    }

    static KSDATARANGE_AUDIO range(ULONG channels, ULONG minRate, ULONG maxRate)
    {
        KSDATARANGE_AUDIO r{};
        r.DataRange.FormatSize = sizeof(r);
        r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        r.MaximumChannels = channels;
        r.MinimumBitsPerSample = 8;
        r.MaximumBitsPerSample = 32;
        r.MinimumSampleFrequency = minRate;
        r.MaximumSampleFrequency = maxRate;
        return r;
    }

    CAdapterCommon *common = nullptr;
    PPORTWAVERT port = nullptr;
    CMiniportWaveRT *miniport = nullptr;
};

std::vector<UCHAR> dword_bytes(ULONG value)
{
    std::vector<UCHAR> data(sizeof(value));
    std::memcpy(data.data(), &value, sizeof(value));
    return data;
}

TEST_F(AdapterTest, TuningValuesAreClampedAndDefaulted)
{
    struct value {
        const wchar_t *name;
        ULONG type;
        std::vector<UCHAR> data;
    };
    struct row {
        const char *label;
        std::vector<value> values;
        bool render_only;
        ASYNC_TUNING expected;
    };
    const std::vector<UCHAR> text = {'4', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<row> rows = {
        {"missing key", {}, false, {8, 8, 1, 8}},
        {"param1 0", {{L"param1", REG_DWORD, dword_bytes(0)}}, false, {8, 8, 1, 8}},
        {"param1 20, param2 9", {{L"param1", REG_DWORD, dword_bytes(20)}, {L"param2", REG_DWORD, dword_bytes(9)}},
         false, {8, 8, 1, 8}},
        {"param3 2, param4 0", {{L"param3", REG_DWORD, dword_bytes(2)}, {L"param4", REG_DWORD, dword_bytes(0)}},
         false, {8, 8, 1, 1}},
        {"param1 3, param2 2", {{L"param1", REG_DWORD, dword_bytes(3)}, {L"param2", REG_DWORD, dword_bytes(2)}},
         false, {3, 2, 1, 8}},
        {"render-only device", {{L"param1", REG_DWORD, dword_bytes(8)}}, true, {4, 8, 1, 8}},
        // A value of another type or size keeps its own default; its partner is still read.
        {"param1 as text", {{L"param1", REG_SZ, text}, {L"param2", REG_DWORD, dword_bytes(2)}}, false, {8, 2, 1, 8}},
        {"param2 of eight bytes",
         {{L"param1", REG_DWORD, dword_bytes(3)}, {L"param2", REG_DWORD, {2, 0, 0, 0, 0, 0, 0, 0}}}, false,
         {3, 8, 1, 8}},
        {"param1 of two bytes", {{L"param1", REG_DWORD, {3, 0}}, {L"param2", REG_DWORD, dword_bytes(2)}}, false,
         {8, 2, 1, 8}},
        {"param4 as binary", {{L"param4", REG_BINARY, dword_bytes(3)}}, false, {8, 8, 1, 8}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        for (const value &v : r.values) {
            store_tuning_bytes(v.name, v.type, v.data);
        }
        sim::uac2_options options;
        options.capture = !r.render_only;
        attach(sim::build_uac2_device(options));
        common = new (NonPagedPoolNx, ASYNC_ADAPTER_TAG) CAdapterCommon(nullptr);
        common->AddRef();
        ASSERT_EQ(STATUS_SUCCESS, common->Init(lower->pdo(), nullptr));
        EXPECT_EQ(r.expected.Param1, g_Tuning.Param1);
        EXPECT_EQ(r.expected.Param2, g_Tuning.Param2);
        EXPECT_EQ(r.expected.Param3, g_Tuning.Param3);
        EXPECT_EQ(r.expected.Param4, g_Tuning.Param4);
        common->Release();
        common = nullptr;
        lower.reset();
        model.reset();
        // Back to values equal to the defaults for the next row.
        store_tuning(L"param1", 8);
        store_tuning(L"param2", 8);
        store_tuning(L"param3", 1);
        store_tuning(L"param4", 8);
    }
    ULONG first = 0, second = 0;
    EXPECT_EQ(-1, CAdapterCommon::ReadTuningValues(FALSE, nullptr, &second, 8, 8));
    EXPECT_EQ(-2, CAdapterCommon::ReadTuningValues(TRUE, &first, &second, 2, 8));
    EXPECT_EQ(-2, CAdapterCommon::ReadTuningValues(FALSE, &first, &second, 0, 8));
}

TEST_F(AdapterTest, DeviceKeyValuesCountOnlyAsFourByteDwords)
{
    sim::audio_device_options options;
    options.vendor_mode_supported = false;
    attach(sim::build_uac2_device({}), options);
    struct row {
        const char *label;
        ULONG type;
        std::vector<UCHAR> data;
        NTSTATUS status;
    };
    const row rows[] = {
        {"four-byte dword", REG_DWORD, dword_bytes(2), STATUS_SUCCESS},
        {"eight-byte dword", REG_DWORD, {2, 0, 0, 0, 0, 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH},
        {"two-byte dword", REG_DWORD, {2, 0}, STATUS_OBJECT_TYPE_MISMATCH},
        {"binary", REG_BINARY, dword_bytes(2), STATUS_OBJECT_TYPE_MISMATCH},
        {"text", REG_SZ, {'2', 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        for (const wchar_t *name : {L"DSDNativeModeSupported", L"gDumpCapture", L"SampleRate"}) {
            store_bytes(name, r.type, r.data);
            ULONG value = 0xDEADBEEF;
            EXPECT_EQ(r.status, CAdapterCommon::ReadDeviceDword(lower->pdo(), name, &value));
            EXPECT_EQ(NT_SUCCESS(r.status) ? 2u : 0xDEADBEEFu, value);
        }
        // The DSD flag then comes from the device, which has no vendor mode.
        common = new (NonPagedPoolNx, ASYNC_ADAPTER_TAG) CAdapterCommon(nullptr);
        common->AddRef();
        ASSERT_EQ(STATUS_SUCCESS, common->Init(lower->pdo(), nullptr));
        EXPECT_EQ(NT_SUCCESS(r.status), common->IsDsdNative() != FALSE);
        EXPECT_EQ(NT_SUCCESS(r.status) ? 2 : 0, g_DumpCapture);
        common->Release();
        common = nullptr;
    }
}

TEST_F(AdapterTest, DsdHoldExcludesEveryOtherReservation)
{
    init_adapter();
    EXPECT_EQ(STATUS_SUCCESS, common->ReserveStreams(FALSE, TRUE, FALSE));
    EXPECT_EQ(STATUS_SUCCESS, common->ReserveStreams(FALSE, TRUE, FALSE));
    EXPECT_EQ(STATUS_DEVICE_BUSY, common->ReserveStreams(TRUE, TRUE, TRUE));
    common->ReleaseStreams(FALSE, TRUE);
    common->ReleaseStreams(FALSE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, common->ReserveStreams(TRUE, TRUE, TRUE));
    EXPECT_EQ(STATUS_DEVICE_BUSY, common->ReserveStreams(TRUE, TRUE, TRUE));
    EXPECT_EQ(STATUS_DEVICE_BUSY, common->ReserveStreams(FALSE, TRUE, FALSE));
    common->ReleaseStreams(TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, common->ReserveStreams(TRUE, FALSE, FALSE));
    common->ReleaseStreams(TRUE, FALSE);
}

TEST_F(AdapterTest, DuplexRunCountsMoveTogether)
{
    init_adapter(48000, true);
    EXPECT_EQ(STATUS_SUCCESS, common->StartStream(FALSE));
    EXPECT_EQ(STATUS_SUCCESS, common->StartStream(TRUE));
    EXPECT_EQ(2u, common->RunCount(FALSE));
    EXPECT_EQ(2u, common->RunCount(TRUE));
    EXPECT_NE(0u, common->Usb().GetRecord(0)->CurrentAlternate);
    EXPECT_EQ(48000u, common->DeviceFormat(FALSE).SampleRate);
    EXPECT_EQ(STATUS_DEVICE_BUSY, common->SetDsdMode(1));
    common->StopStream(TRUE);
    common->StopStream(FALSE);
    EXPECT_EQ(0u, common->RunCount(FALSE));
    EXPECT_EQ(0u, common->RunCount(TRUE));
    EXPECT_EQ(0u, common->Usb().GetRecord(0)->CurrentAlternate);
    EXPECT_EQ(STATUS_SUCCESS, common->PrepareRemoval());
}

TEST_F(AdapterTest, StreamFormatsMustUseTheCurrentRate)
{
    init_adapter();
    EXPECT_EQ(STATUS_NO_MATCH, common->SetFormat(FALSE, WAVE_FORMAT_PCM, 2, 16, 96000));
    EXPECT_EQ(STATUS_SUCCESS, common->SetFormat(FALSE, WAVE_FORMAT_PCM, 2, 16, 48000));
    EXPECT_EQ(48000u, common->StreamFormat(FALSE).SampleRate);
    EXPECT_EQ(4u, common->StreamFormat(FALSE).FrameBytes);
    EXPECT_EQ(0u, common->PendingRate());
    common->ClearFormat(FALSE);
    ULONG lowest = 0, highest = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, common->GetSampleRateRange(nullptr, &highest));
    EXPECT_EQ(STATUS_SUCCESS, common->GetSampleRateRange(&lowest, &highest));
    EXPECT_EQ(44100u, lowest);
    EXPECT_EQ(192000u, highest);
}

TEST_F(AdapterTest, SignalProcessingModesPerPin)
{
    init_adapter();
    ASSERT_EQ(STATUS_SUCCESS, common->BuildFilter());
    ULONG streaming = find_pin(FALSE, FALSE);
    ULONG bridge = find_pin(FALSE, TRUE);
    ASSERT_NE(~0u, streaming);
    ASSERT_NE(~0u, bridge);
    GUID modes[2] = {};
    ULONG count = 2;
    EXPECT_EQ(STATUS_NOT_SUPPORTED, common->GetPinInfo(bridge, modes, &count));
    EXPECT_EQ(0u, count);
    count = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, common->GetPinInfo(streaming, modes, &count));
    EXPECT_EQ(1u, count);
    count = 1;
    EXPECT_EQ(STATUS_SUCCESS, common->GetPinInfo(streaming, modes, &count));
    EXPECT_EQ(AUDIO_SIGNALPROCESSINGMODE_RAW, modes[0]);
    EXPECT_EQ(GUID_NULL, modes[1]);
    count = 5;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, common->GetPinInfo(100, modes, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, common->GetPinInfo(streaming, modes, nullptr));
}

TEST_F(AdapterTest, DataRangeIntersectionAnswersOnlyTheCurrentRate)
{
    init_miniport();
    ULONG pin = find_pin(FALSE, FALSE);
    ASSERT_NE(~0u, pin);
    PPCFILTER_DESCRIPTOR filter = common->GetFilterDescriptor();
    auto pinDescriptor =
        reinterpret_cast<const PCPIN_DESCRIPTOR *>(reinterpret_cast<const UCHAR *>(filter->Pins) + pin * filter->PinSize);
    ASSERT_GE(pinDescriptor->KsPinDescriptor.DataRangesCount, 1u);
    PKSDATARANGE own = pinDescriptor->KsPinDescriptor.DataRanges[0];

    KSDATARANGE_AUDIO client = range(8, 8000, 192000);
    UCHAR buffer[sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) + 8];
    ULONG length = 0xDEAD;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW,
              miniport->DataRangeIntersection(pin, &client.DataRange, own, 0, buffer, &length));
    EXPECT_EQ(104u, length);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              miniport->DataRangeIntersection(pin, &client.DataRange, own, 103, buffer, &length));

    KSDATARANGE_AUDIO mono = range(1, 8000, 192000);
    EXPECT_EQ(STATUS_NO_MATCH, miniport->DataRangeIntersection(pin, &mono.DataRange, own, sizeof(buffer), buffer, &length));
    KSDATARANGE_AUDIO dsound = client;
    dsound.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              miniport->DataRangeIntersection(pin, &dsound.DataRange, own, sizeof(buffer), buffer, &length));
    KSDATARANGE_AUDIO other = range(2, 96000, 96000);
    EXPECT_EQ(STATUS_NO_MATCH, miniport->DataRangeIntersection(pin, &other.DataRange, own, sizeof(buffer), buffer, &length));
    // A client range shorter than an audio range is never read past its end.
    KSDATARANGE_AUDIO shortRange = client;
    shortRange.DataRange.FormatSize = sizeof(KSDATARANGE);
    EXPECT_EQ(STATUS_NO_MATCH,
              miniport->DataRangeIntersection(pin, &shortRange.DataRange, own, sizeof(buffer), buffer, &length));

    std::memset(buffer, 0xCC, sizeof(buffer));
    ASSERT_EQ(STATUS_SUCCESS, miniport->DataRangeIntersection(pin, &client.DataRange, own, sizeof(buffer), buffer, &length));
    EXPECT_EQ(104u, length);
    auto result = reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEXTENSIBLE>(buffer);
    EXPECT_EQ(104u, result->DataFormat.FormatSize);
    EXPECT_EQ(WAVE_FORMAT_EXTENSIBLE, result->WaveFormatExt.Format.wFormatTag);
    EXPECT_EQ(48000u, result->WaveFormatExt.Format.nSamplesPerSec);
    EXPECT_EQ(22u, result->WaveFormatExt.Format.cbSize);
    EXPECT_EQ(result->WaveFormatExt.Format.nBlockAlign,
              result->WaveFormatExt.Format.nChannels * result->WaveFormatExt.Format.wBitsPerSample / 8);
    EXPECT_EQ(result->DataFormat.SampleSize, result->WaveFormatExt.Format.nBlockAlign);
    EXPECT_EQ(KSDATAFORMAT_SUBTYPE_PCM, result->WaveFormatExt.SubFormat);
    EXPECT_EQ(0xCC, buffer[104]);
}

TEST_F(AdapterTest, FailedStreamCreationGivesTheReservationBack)
{
    init_miniport();
    ULONG pin = find_pin(FALSE, FALSE);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = stream_format(48000, 2, 16);
    PMINIPORTWAVERTSTREAM stream = nullptr;

    platform::pool_fail_tag(ASYNC_TAG);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, miniport->NewStream(&stream, nullptr, pin, FALSE, &format.DataFormat));
    platform::pool_fail_tag(0);
    EXPECT_EQ(nullptr, stream);

    KSDATAFORMAT_WAVEFORMATEXTENSIBLE truncated = format;
    truncated.DataFormat.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX) + 4;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, miniport->NewStream(&stream, nullptr, pin, FALSE, &truncated.DataFormat));
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE otherRate = stream_format(96000, 2, 16);
    EXPECT_EQ(STATUS_NO_MATCH, miniport->NewStream(&stream, nullptr, pin, FALSE, &otherRate.DataFormat));

    // No reservation is left behind: a DSD reservation needs the device free.
    EXPECT_EQ(STATUS_SUCCESS, common->ReserveStreams(TRUE, TRUE, TRUE));
    PMINIPORTWAVERTSTREAM blocked = nullptr;
    EXPECT_EQ(STATUS_DEVICE_BUSY, miniport->NewStream(&blocked, nullptr, pin, FALSE, &format.DataFormat));
    common->ReleaseStreams(TRUE, TRUE);

    ASSERT_EQ(STATUS_SUCCESS, miniport->NewStream(&stream, nullptr, pin, FALSE, &format.DataFormat));
    PMINIPORTWAVERTSTREAM second = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, miniport->NewStream(&second, nullptr, pin, FALSE, &format.DataFormat));
    EXPECT_TRUE(miniport->LockStream(FALSE));
    miniport->UnlockStream(FALSE);
    EXPECT_FALSE(miniport->LockStream(TRUE));
    UCHAR silence[4] = {1, 2, 3, 4};
    miniport->FillSilence(FALSE, silence, 3);
    EXPECT_EQ(0, silence[0]);
    EXPECT_EQ(4, silence[3]);
    // Queuing without a buffer does nothing.
    miniport->QueueStreamData(FALSE, 100);
    stream->Release();
    EXPECT_FALSE(miniport->LockStream(FALSE));
    EXPECT_EQ(STATUS_SUCCESS, common->ReserveStreams(TRUE, TRUE, TRUE));
    common->ReleaseStreams(TRUE, TRUE);
}

TEST_F(AdapterTest, ComponentIdNeedsItsExactSize)
{
    init_miniport();
    PCPROPERTY_ITEM item{&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, 0, PropertyHandlerComponentId};
    KSCOMPONENTID id{};
    PCPROPERTY_REQUEST request{};
    request.PropertyItem = &item;
    request.Verb = KSPROPERTY_TYPE_GET;
    request.ValueSize = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PropertyHandlerComponentId(&request));
    EXPECT_EQ(sizeof(KSCOMPONENTID), request.ValueSize);
    request.ValueSize = sizeof(KSCOMPONENTID) - 1;
    request.Value = &id;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PropertyHandlerComponentId(&request));
    request.ValueSize = sizeof(KSCOMPONENTID);
    ASSERT_EQ(STATUS_SUCCESS, PropertyHandlerComponentId(&request));
    EXPECT_EQ(1u, id.Version);
    EXPECT_EQ(0u, id.Revision);
    EXPECT_EQ(GUID_NULL, id.Component);
    EXPECT_EQ(0xD5A47FA8u, id.Manufacturer.Data1);
    EXPECT_EQ(0xDA69171Eu, id.Name.Data1);
    item.Id = 1;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, PropertyHandlerComponentId(&request));
}

} // namespace
} // namespace async_test

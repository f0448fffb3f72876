// CAdapterCommon without streaming: interfaces, Init on both standard devices, power, the
// tuning values, stream formats and the refusals after surprise removal.
#include "AdapterFixture.h"

namespace stddrv_test {
namespace {

using AdapterInterfaceTest = AdapterTest;

TEST_F(AdapterInterfaceTest, QueryInterfaceAnswersTheAdapterAndPowerFacesOnly)
{
    attach_uac2();
    ASSERT_EQ(STATUS_SUCCESS, start_adapter());

    PVOID unknown = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, common->QueryInterface(IID_IUnknown, &unknown));
    EXPECT_EQ(static_cast<PVOID>(common), unknown);
    static_cast<IUnknown *>(unknown)->Release();

    PADAPTERPOWERMANAGEMENT power = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, common->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<void **>(&power)));
    EXPECT_EQ(static_cast<IAdapterPowerManagement *>(adapter), power);
    power->Release();

    PVOID other = reinterpret_cast<PVOID>(0x1234);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, common->QueryInterface(IID_IMiniportCallback, &other));
    EXPECT_EQ(nullptr, other);
}

TEST_F(AdapterInterfaceTest, InitStartsBothStandardDevicesWithEveryDirectionStopped)
{
    for (int uac = 1; uac <= 2; ++uac) {
        SCOPED_TRACE(uac);
        if (uac == 1) {
            attach_uac1();
        } else {
            attach_uac2();
        }
        ASSERT_EQ(STATUS_SUCCESS, start_adapter());
        EXPECT_EQ((ULONG)PowerDeviceD0, adapter->DevicePowerState());
        EXPECT_FALSE(common->IsDeviceRemoved());
        for (BOOLEAN capture : {FALSE, TRUE}) {
            EXPECT_TRUE(is_set(adapter->StopEvent(capture)));
            EXPECT_TRUE(is_set(adapter->IdleEvent(capture)));
            EXPECT_FALSE(is_set(adapter->RunEvent(capture)));
            EXPECT_FALSE(is_set(adapter->ErrorEvent(capture)));
            EXPECT_FALSE(adapter->HasWorkerThread(capture));
            EXPECT_EQ(0u, adapter->StreamFormat(capture).Rate);
            ULONG channels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
            EXPECT_EQ(STATUS_SUCCESS, common->GetFormatRange(capture, &channels, &minBits, &maxBits, &minRate, &maxRate));
            EXPECT_EQ(2u, channels);
            EXPECT_EQ(16u, minBits);
            EXPECT_EQ(16u, maxBits);
            EXPECT_LE(minRate, 44100u);
            EXPECT_GE(maxRate, 48000u);
        }
        common->Release();
        common = nullptr;
        adapter->Release();
        adapter = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, machine.detach(pdo));
        pdo = nullptr;
    }
}

TEST_F(AdapterInterfaceTest, PowerStateFollowsValidChangesOnly)
{
    attach_uac1();
    ASSERT_EQ(STATUS_SUCCESS, start_adapter());
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    adapter->PowerChangeState(state);
    EXPECT_EQ((ULONG)PowerDeviceD3, adapter->DevicePowerState());
    state.DeviceState = static_cast<DEVICE_POWER_STATE>(5);
    adapter->PowerChangeState(state);
    EXPECT_EQ((ULONG)PowerDeviceD3, adapter->DevicePowerState());
    state.DeviceState = static_cast<DEVICE_POWER_STATE>(0);
    adapter->PowerChangeState(state);
    EXPECT_EQ((ULONG)PowerDeviceD3, adapter->DevicePowerState());
    state.DeviceState = PowerDeviceD0;
    adapter->PowerChangeState(state);
    EXPECT_EQ((ULONG)PowerDeviceD0, adapter->DevicePowerState());
    EXPECT_EQ(STATUS_SUCCESS, adapter->QueryPowerChangeState(state));

    DEVICE_CAPABILITIES capabilities = {};
    EXPECT_EQ(STATUS_SUCCESS, adapter->QueryDeviceCapabilities(&capabilities));
    EXPECT_EQ(1u, capabilities.SurpriseRemovalOK);
}

using AdapterTuningTest = AdapterTest;

TEST_F(AdapterTuningTest, MissingKeyGivesEachDirectionItsDefaults)
{
    STD_TUNING render = CAdapterCommon::ReadTuning(FALSE);
    STD_TUNING capture = CAdapterCommon::ReadTuning(TRUE);
    EXPECT_EQ(2u, render.MsPerTransfer);
    EXPECT_EQ(4u, render.TransfersInFlight);
    EXPECT_EQ(1u, capture.MsPerTransfer);
    EXPECT_EQ(8u, capture.TransfersInFlight);
}

TEST_F(AdapterTuningTest, ZeroTakesTheDefaultAndLargeValuesTheMaximum)
{
    struct row {
        ULONG param1, param2, param3, param4;
        ULONG renderMs, renderCount, captureMs, captureCount;
    };
    const row rows[] = {
        {0, 0, 0, 0, 2, 4, 1, 8},
        {11, 21, 11, 21, 10, 20, 10, 20},
        {10, 20, 10, 20, 10, 20, 10, 20},
        {5, 1, 3, 2, 5, 1, 3, 2},
        {0xFFFFFFFF, 0xFFFFFFFF, 1, 0, 10, 20, 1, 8},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.param1 << "/" << r.param2 << "/" << r.param3 << "/" << r.param4);
        store_tuning(L"param1", r.param1);
        store_tuning(L"param2", r.param2);
        store_tuning(L"param3", r.param3);
        store_tuning(L"param4", r.param4);
        STD_TUNING render = CAdapterCommon::ReadTuning(FALSE);
        STD_TUNING capture = CAdapterCommon::ReadTuning(TRUE);
        EXPECT_EQ(r.renderMs, render.MsPerTransfer);
        EXPECT_EQ(r.renderCount, render.TransfersInFlight);
        EXPECT_EQ(r.captureMs, capture.MsPerTransfer);
        EXPECT_EQ(r.captureCount, capture.TransfersInFlight);
    }
}

TEST_F(AdapterTuningTest, ValuesOfAnotherTypeOrSizeKeepTheirDefaultsAndLeaveTheOthersRead)
{
    // Each row spoils one value and stores the other three as four-byte dwords of 5.
    struct row {
        const char *label;
        const wchar_t *name;
        ULONG type;
        std::vector<UCHAR> data;
        ULONG renderMs, renderCount, captureMs, captureCount;
    };
    const row rows[] = {
        {"param1 as text", L"param1", REG_SZ, {'3', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 2, 5, 5, 5},
        {"param2 of eight bytes", L"param2", REG_DWORD, {3, 0, 0, 0, 0, 0, 0, 0}, 5, 4, 5, 5},
        {"param3 of two bytes", L"param3", REG_DWORD, {3, 0}, 5, 5, 1, 5},
        {"param4 as binary", L"param4", REG_BINARY, {3, 0, 0, 0}, 5, 5, 5, 8},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.label);
        for (const wchar_t *name : {L"param1", L"param2", L"param3", L"param4"}) {
            store_tuning(name, 5);
        }
        store_tuning_bytes(r.name, r.type, r.data);
        STD_TUNING render = CAdapterCommon::ReadTuning(FALSE);
        STD_TUNING capture = CAdapterCommon::ReadTuning(TRUE);
        EXPECT_EQ(r.renderMs, render.MsPerTransfer);
        EXPECT_EQ(r.renderCount, render.TransfersInFlight);
        EXPECT_EQ(r.captureMs, capture.MsPerTransfer);
        EXPECT_EQ(r.captureCount, capture.TransfersInFlight);
    }
}

TEST_F(AdapterTuningTest, OneMissingValueTakesItsDefault)
{
    store_tuning(L"param1", 6);
    STD_TUNING render = CAdapterCommon::ReadTuning(FALSE);
    EXPECT_EQ(6u, render.MsPerTransfer);
    EXPECT_EQ(4u, render.TransfersInFlight);
}

TEST_F(AdapterTuningTest, StartReadsTheValuesAndSizesTransfersByThem)
{
    attach_uac2();
    ASSERT_EQ(STATUS_SUCCESS, start_adapter());
    ASSERT_EQ(STATUS_SUCCESS, common->SetStreamFormat(FALSE, 2, 16, 48000));
    ASSERT_EQ(STATUS_SUCCESS, common->StartStream(FALSE));
    const ULONG twoMs = adapter->BytesPerTransfer(FALSE);
    EXPECT_NE(0u, twoMs);
    EXPECT_EQ(2u, CAdapterCommon::LastTuning(FALSE).MsPerTransfer);
    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
    EXPECT_EQ(0u, adapter->BytesPerTransfer(FALSE));

    store_tuning(L"param1", 11);
    store_tuning(L"param2", 0);
    ASSERT_EQ(STATUS_SUCCESS, common->StartStream(FALSE));
    EXPECT_EQ(twoMs * 5, adapter->BytesPerTransfer(FALSE));
    EXPECT_EQ(10u, CAdapterCommon::LastTuning(FALSE).MsPerTransfer);
    EXPECT_EQ(4u, CAdapterCommon::LastTuning(FALSE).TransfersInFlight);
    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
}

using AdapterFormatTest = AdapterTest;

TEST_F(AdapterFormatTest, OfferedFormatsAreStoredAndOthersRefused)
{
    attach_uac2();
    ASSERT_EQ(STATUS_SUCCESS, start_adapter());
    for (BOOLEAN capture : {FALSE, TRUE}) {
        SCOPED_TRACE(capture ? "capture" : "render");
        EXPECT_EQ(STATUS_SUCCESS, common->SetStreamFormat(capture, 2, 16, 44100));
        const STD_STREAM_FORMAT &format = adapter->StreamFormat(capture);
        EXPECT_EQ(2u, format.Channels);
        EXPECT_EQ(16u, format.Bits);
        EXPECT_EQ(44100u, format.Rate);
        EXPECT_EQ(4u, format.BytesPerFrame);

        EXPECT_EQ(STATUS_NOT_SUPPORTED, common->SetStreamFormat(capture, 1, 16, 48000));
        EXPECT_EQ(STATUS_NOT_SUPPORTED, common->ChangeStreamFormat(capture, 2, 24, 48000));
        EXPECT_EQ(44100u, adapter->StreamFormat(capture).Rate);

        EXPECT_EQ(STATUS_SUCCESS, common->ChangeStreamFormat(capture, 2, 16, 48000));
        EXPECT_EQ(48000u, adapter->StreamFormat(capture).Rate);

        common->ClearStreamFormat(capture);
        EXPECT_EQ(0u, adapter->StreamFormat(capture).Channels);
        EXPECT_EQ(0u, adapter->StreamFormat(capture).Bits);
        EXPECT_EQ(0u, adapter->StreamFormat(capture).Rate);
    }
}

TEST_F(AdapterFormatTest, RunningDirectionKeepsItsFormat)
{
    attach_uac2();
    ASSERT_EQ(STATUS_SUCCESS, start_adapter());
    ASSERT_EQ(STATUS_SUCCESS, common->SetStreamFormat(FALSE, 2, 16, 48000));
    ASSERT_EQ(STATUS_SUCCESS, common->StartStream(FALSE));
    EXPECT_TRUE(adapter->HasWorkerThread(FALSE));
    EXPECT_FALSE(is_set(adapter->StopEvent(FALSE)));

    EXPECT_EQ(STATUS_SUCCESS, common->SetStreamFormat(FALSE, 2, 16, 48000));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, common->SetStreamFormat(FALSE, 2, 16, 44100));
    EXPECT_EQ(48000u, adapter->StreamFormat(FALSE).Rate);
    // The other direction is not running and changes freely.
    EXPECT_EQ(STATUS_SUCCESS, common->SetStreamFormat(TRUE, 2, 16, 44100));

    ASSERT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
    EXPECT_EQ(STATUS_SUCCESS, common->SetStreamFormat(FALSE, 2, 16, 44100));
}

TEST_F(AdapterFormatTest, StartWithoutAFormatFailsAndLeavesTheDirectionStopped)
{
    attach_uac2();
    ASSERT_EQ(STATUS_SUCCESS, start_adapter());
    EXPECT_FALSE(NT_SUCCESS(common->StartStream(FALSE)));
    EXPECT_TRUE(is_set(adapter->StopEvent(FALSE)));
    EXPECT_FALSE(adapter->HasWorkerThread(FALSE));
    EXPECT_EQ(0u, adapter->BytesPerTransfer(FALSE));
    EXPECT_EQ(STATUS_SUCCESS, common->StopStream(FALSE));
}

using AdapterRemovalTest = AdapterTest;

TEST_F(AdapterRemovalTest, RemovedAdapterRefusesDeviceOperationsAndIgnoresPieces)
{
    attach_uac1();
    ASSERT_EQ(STATUS_SUCCESS, start_adapter());
    ASSERT_EQ(STATUS_SUCCESS, common->SetStreamFormat(TRUE, 2, 16, 48000));
    UCHAR buffer[64] = {};
    common->QueueCaptureBuffer(buffer, sizeof(buffer));
    EXPECT_EQ(1u, adapter->QueuedPieces(TRUE));

    common->SurpriseRemoval();
    EXPECT_TRUE(common->IsDeviceRemoved());
    EXPECT_EQ(0u, adapter->QueuedPieces(TRUE));
    EXPECT_EQ(STATUS_DELETE_PENDING, common->SetStreamFormat(TRUE, 2, 16, 44100));
    EXPECT_EQ(STATUS_DELETE_PENDING, common->StartStream(TRUE));
    EXPECT_EQ(STATUS_DELETE_PENDING, common->StopStream(TRUE));
    ULONG channels = 7, minBits = 7, maxBits = 7, minRate = 7, maxRate = 7;
    EXPECT_EQ(STATUS_DELETE_PENDING, common->GetFormatRange(FALSE, &channels, &minBits, &maxBits, &minRate, &maxRate));
    EXPECT_EQ(7u, channels);
    common->QueueRenderBuffer(buffer, sizeof(buffer));
    common->QueueCaptureBuffer(buffer, sizeof(buffer));
    EXPECT_EQ(0u, adapter->QueuedPieces(FALSE));
    EXPECT_EQ(0u, adapter->QueuedPieces(TRUE));
}

TEST_F(AdapterRemovalTest, FlushFreesEveryQueuedPiece)
{
    attach_uac2();
    ASSERT_EQ(STATUS_SUCCESS, start_adapter());
    UCHAR buffer[256] = {};
    for (ULONG i = 0; i < 4; ++i) {
        common->QueueRenderBuffer(buffer + i * 64, 64);
        common->QueueCaptureBuffer(buffer + i * 64, 64);
    }
    common->QueueRenderBuffer(buffer, 0);
    EXPECT_EQ(4u, adapter->QueuedPieces(FALSE));
    EXPECT_EQ(4u, adapter->QueuedPieces(TRUE));
    common->FlushRenderQueue();
    EXPECT_EQ(0u, adapter->QueuedPieces(FALSE));
    EXPECT_EQ(4u, adapter->QueuedPieces(TRUE));
    common->FlushCaptureQueue();
    EXPECT_EQ(0u, adapter->QueuedPieces(TRUE));
}

} // namespace
} // namespace stddrv_test

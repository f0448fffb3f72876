// Class controls and vendor mode: volume, volume range and mute requests of both class
// revisions, controls the unit lacks or only reads, and the vendor mode switch with a stall.
#include "UsbAudioTestFixture.h"
#include "USBAudioFeatureUnit.h"

namespace usbaudio_test {
namespace {

class ControlTest : public UsbAudioTest {
protected:
    CUSBAudioFeatureUnit *unit(UCHAR id)
    {
        CUSBAudioEntity *entity = audio->FindEntity(id);
        EXPECT_NE(entity, nullptr);
        EXPECT_EQ(entity != nullptr ? entity->GetSubtype() : 0, UAC_AC_FEATURE_UNIT);
        return static_cast<CUSBAudioFeatureUnit *>(entity);
    }
    const control_record &last_control() const { return lower->controls.back(); }
};

TEST_F(ControlTest, Uac2VolumeAndMuteSendCurRequestsToTheUnit)
{
    start_configured(uac2_config(), true);
    CUSBAudioFeatureUnit *fu = unit(10);
    EXPECT_EQ(audio->SetVolume(fu, 1, -3906), STATUS_SUCCESS);
    EXPECT_EQ(last_control().request_type, 0x21);
    EXPECT_EQ(last_control().request, 0x01);
    EXPECT_EQ(last_control().value, 0x0201);
    EXPECT_EQ(last_control().index, 0x0A00);
    EXPECT_EQ(last_control().data, (bytes{0xBE, 0xF0}));

    lower->answer(0x01, 0x0202, 0x0A00, {0x00, 0x80});
    SHORT volume = 7;
    EXPECT_EQ(audio->GetVolume(fu, 2, &volume), STATUS_SUCCESS);
    EXPECT_EQ(volume, SHORT(-32768));

    EXPECT_EQ(audio->SetMute(fu, 1), STATUS_SUCCESS);
    EXPECT_EQ(last_control().value, 0x0100);
    EXPECT_EQ(last_control().data, (bytes{1}));
    lower->answer(0x01, 0x0100, 0x0A00, {1});
    UCHAR mute = 0;
    EXPECT_EQ(audio->GetMute(fu, &mute), STATUS_SUCCESS);
    EXPECT_EQ(mute, 1u);

    EXPECT_EQ(audio->SetVolume(nullptr, 1, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(audio->GetVolume(fu, 1, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(audio->GetMute(nullptr, &mute), STATUS_INVALID_PARAMETER);
    size_t sent = lower->controls.size();
    EXPECT_EQ(audio->SetVolume(fu, 3, 0), STATUS_NOT_SUPPORTED); // the unit has channels 0..2
    EXPECT_EQ(lower->controls.size(), sent);
}

TEST_F(ControlTest, Uac2RangeReadsTheFirstSubrangeOnly)
{
    start_configured(uac2_config(), true);
    lower->answer(0x02, 0x0201, 0x0A00, {2, 0, 0x9C, 0xFF, 0, 0, 1, 0, 0x00, 0x80, 0x00, 0x10, 0x40, 0});
    SHORT minimum = 0, maximum = 5;
    USHORT resolution = 0;
    EXPECT_EQ(audio->GetVolumeRange(unit(10), 1, &minimum, &maximum, &resolution), STATUS_SUCCESS);
    EXPECT_EQ(minimum, -100);
    EXPECT_EQ(maximum, 0);
    EXPECT_EQ(resolution, 1u);
    EXPECT_EQ(last_control().length, 8u);

    // A short answer leaves zeros, not stale bytes.
    lower->answer(0x02, 0x0201, 0x0A00, {1, 0, 0x00, 0xC0});
    EXPECT_EQ(audio->GetVolumeRange(unit(10), 1, &minimum, &maximum, &resolution), STATUS_SUCCESS);
    EXPECT_EQ(minimum, SHORT(-16384));
    EXPECT_EQ(maximum, 0);
    EXPECT_EQ(resolution, 0u);
}

TEST_F(ControlTest, ReadOnlyVolumeCanBeReadButNotSet)
{
    bytes configuration = uac2_config();
    const bytes unit_head = {18, 0x24, 6, 10};
    auto at = std::search(configuration.begin(), configuration.end(), unit_head.begin(), unit_head.end());
    ASSERT_NE(at, configuration.end());
    at[5 + 4] = 0x07; // channel 1: mute read/write, volume read-only
    start_configured(configuration, true);
    lower->answer(0x01, 0x0201, 0x0A00, {0x00, 0xFF});
    SHORT volume = 0;
    EXPECT_EQ(audio->GetVolume(unit(10), 1, &volume), STATUS_SUCCESS);
    EXPECT_EQ(volume, -256);
    size_t sent = lower->controls.size();
    EXPECT_EQ(audio->SetVolume(unit(10), 1, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(lower->controls.size(), sent);
}

TEST_F(ControlTest, Uac1RangeIsThreeRequestsAndTheFirstFailureEndsIt)
{
    start_configured(uac1_config(), false, device_descriptor(0x3A51, 0x0201, 0x0110));
    CUSBAudioFeatureUnit *fu = unit(2);
    lower->answer(0x82, 0x0201, 0x0200, {0x00, 0xC0});
    lower->answer(0x83, 0x0201, 0x0200, {0x00, 0x00});
    lower->answer(0x84, 0x0201, 0x0200, {0x80, 0x00});
    SHORT minimum = 0, maximum = 0;
    USHORT resolution = 0;
    EXPECT_EQ(audio->GetVolumeRange(fu, 1, &minimum, &maximum, &resolution), STATUS_SUCCESS);
    EXPECT_EQ(minimum, SHORT(-16384));
    EXPECT_EQ(maximum, 0);
    EXPECT_EQ(resolution, 0x80u);

    lower->forget(0x83, 0x0201, 0x0200);
    lower->controls.clear();
    minimum = 1;
    maximum = 1;
    resolution = 1;
    EXPECT_EQ(audio->GetVolumeRange(fu, 1, &minimum, &maximum, &resolution), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(minimum, SHORT(-16384));
    EXPECT_EQ(maximum, 1);
    EXPECT_EQ(resolution, 1u);
    ASSERT_EQ(lower->controls.size(), 2u);
    EXPECT_EQ(lower->controls[0].request, 0x82);
    EXPECT_EQ(lower->controls[1].request, 0x83);

    // Class 1 volume set uses SET_CUR with the same addressing.
    EXPECT_EQ(audio->SetVolume(fu, 0, 0x0100), STATUS_SUCCESS);
    EXPECT_EQ(last_control().request, 0x01);
    EXPECT_EQ(last_control().value, 0x0200);
}

TEST_F(ControlTest, VendorModeStopsAtAStallAndRestoreResendsRememberedModes)
{
    start_configured(uac2_config(), true);
    USB_STREAMING_INTERFACE *first = audio->m_pStreamingInterfaces;
    ASSERT_NE(first, nullptr);
    USB_STREAMING_INTERFACE *second = first->Next;
    ASSERT_NE(second, nullptr);
    lower->stall_out.push_back({0x00, second->InterfaceNumber});
    lower->controls.clear();
    EXPECT_EQ(audio->SetVendorMode(1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first->VendorMode, 1u);
    EXPECT_EQ(second->VendorMode, 0u);
    ASSERT_EQ(lower->controls.size(), 2u);
    EXPECT_EQ(lower->controls[0].request_type, 0x41);
    EXPECT_EQ(lower->controls[0].request, 0x00);
    EXPECT_EQ(lower->controls[0].value, 1u);
    EXPECT_EQ(lower->controls[0].index, first->InterfaceNumber);
    EXPECT_EQ(lower->controls[0].length, 0u);

    lower->stall_out.clear();
    lower->controls.clear();
    EXPECT_EQ(audio->RestoreVendorMode(), STATUS_SUCCESS);
    ASSERT_EQ(lower->controls.size(), 2u);
    EXPECT_EQ(lower->controls[0].value, 1u);
    EXPECT_EQ(lower->controls[1].value, 0u);
    EXPECT_EQ(lower->controls[1].index, second->InterfaceNumber);
}

} // namespace
} // namespace usbaudio_test

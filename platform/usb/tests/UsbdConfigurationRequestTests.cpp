// USBD_CreateConfigurationRequestEx: layout of the interface informations, the list entries
// pointing into the URB, pool accounting and refusal of bad input.
#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <platform/machine_state.h>
#include <platform/pool.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

class UsbdConfigurationRequest : public testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override
    {
        EXPECT_EQ(platform::pool_outstanding_blocks(), 0u);
        platform::machine_shutdown();
    }

    std::vector<std::uint8_t> config = {
        9, 2, 41, 0, 2, 1, 0, 0x80, 50,
        9, 4, 0, 0, 0, 1, 1, 0x20, 0,
        9, 4, 1, 0, 2, 1, 2, 0x20, 0,
        7, 5, 0x01, 0x05, 0x00, 0x02, 1,
        7, 5, 0x81, 0x11, 0x04, 0x00, 4,
    };
    PUSB_CONFIGURATION_DESCRIPTOR cfg() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()); }
    PUSB_INTERFACE_DESCRIPTOR iface(std::size_t at)
    {
        return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(config.data() + at);
    }
};

TEST_F(UsbdConfigurationRequest, LaysOutOneInterfaceInformationPerEntry)
{
    USBD_INTERFACE_LIST_ENTRY list[3] = {{iface(9), nullptr}, {iface(18), nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(cfg(), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, 40u + 24u + 72u);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 2));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cfg());
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);

    auto *base = reinterpret_cast<std::uint8_t *>(urb);
    ASSERT_EQ(reinterpret_cast<std::uint8_t *>(list[0].Interface), base + 40);
    ASSERT_EQ(reinterpret_cast<std::uint8_t *>(list[1].Interface), base + 64);
    EXPECT_EQ(list[0].Interface->Length, 24u);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 0u);
    EXPECT_EQ(list[1].Interface->Length, 72u);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 0);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[1].Interface->Pipes[1].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(list[1].Interface->Pipes[1].PipeHandle, nullptr);
    EXPECT_EQ(platform::pool_outstanding_blocks(), 1u);
    ExFreePool(urb);
}

TEST_F(UsbdConfigurationRequest, RefusesBadInputAndPoolFailure)
{
    USBD_INTERFACE_LIST_ENTRY outside[2] = {
        {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(config.data() + 36), nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cfg(), outside), nullptr)
        << "an interface descriptor running past wTotalLength";
    EXPECT_EQ(outside[0].Interface, nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, outside), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cfg(), nullptr), nullptr);

    USBD_INTERFACE_LIST_ENTRY list[2] = {{iface(18), nullptr}, {nullptr, nullptr}};
    platform::pool_fail_nth(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cfg(), list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);
}

} // namespace

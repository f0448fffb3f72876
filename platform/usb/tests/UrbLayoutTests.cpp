// URB build macros write the fields at the offsets the bus driver reads, and nothing else.
#include <usbdi.h>
#include <usbdlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

template <typename T> T read_at(const std::vector<std::uint8_t> &b, std::size_t offset)
{
    T value{};
    std::memcpy(&value, b.data() + offset, sizeof(T));
    return value;
}

TEST(UrbBuildMacros, SelectInterfaceSetsInterfaceLengthToUrbLengthMinus32)
{
    const std::size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(2);
    ASSERT_EQ(size, 104u);
    std::vector<std::uint8_t> b(size, 0xCD);
    auto *urb = reinterpret_cast<PURB>(b.data());
    auto *const handle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x1122334455667788ull);
    UsbBuildSelectInterfaceRequest(urb, size, handle, 3, 2);
    EXPECT_EQ(read_at<USHORT>(b, 0), size);
    EXPECT_EQ(read_at<USHORT>(b, 2), URB_FUNCTION_SELECT_INTERFACE);
    EXPECT_EQ(read_at<std::uint64_t>(b, 24), 0x1122334455667788ull);
    EXPECT_EQ(read_at<USHORT>(b, 32), 72u);
    EXPECT_EQ(b[34], 3);
    EXPECT_EQ(b[35], 2);
    EXPECT_EQ(b[36], 0xCD) << "Class is the bus driver's to fill";
}

TEST(UrbBuildMacros, GetDescriptorAndVendorRequestUseTheirOffsets)
{
    std::vector<std::uint8_t> b(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 0);
    auto *urb = reinterpret_cast<PURB>(b.data());
    std::uint8_t buffer[18];
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, buffer, nullptr, 18,
                                 nullptr);
    EXPECT_EQ(read_at<USHORT>(b, 0), 136u);
    EXPECT_EQ(read_at<USHORT>(b, 2), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(read_at<ULONG>(b, 36), 18u);
    EXPECT_EQ(read_at<void *>(b, 40), buffer);
    EXPECT_EQ(b[130], 2);
    EXPECT_EQ(b[131], USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(read_at<USHORT>(b, 132), 0x0409);

    std::vector<std::uint8_t> v(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0);
    urb = reinterpret_cast<PURB>(v.data());
    UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE, 136, USBD_TRANSFER_DIRECTION_IN, 0,
                          0x02, 0x0100, 0x2900, buffer, nullptr, 14, nullptr);
    EXPECT_EQ(read_at<USHORT>(v, 2), URB_FUNCTION_CLASS_INTERFACE);
    EXPECT_EQ(read_at<ULONG>(v, 32), 1u);
    EXPECT_EQ(read_at<ULONG>(v, 36), 14u);
    EXPECT_EQ(v[129], 0x02);
    EXPECT_EQ(read_at<USHORT>(v, 130), 0x0100);
    EXPECT_EQ(read_at<USHORT>(v, 132), 0x2900);
}

TEST(UrbBuildMacros, IsochronousPacketsStartAt140)
{
    const std::size_t size = GET_ISO_URB_SIZE(8);
    ASSERT_EQ(size, 152u + 96u);
    std::vector<std::uint8_t> b(size, 0);
    auto *urb = reinterpret_cast<PURB>(b.data());
    urb->UrbIsochronousTransfer.NumberOfPackets = 8;
    for (ULONG i = 0; i < 8; ++i) {
        urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * 192;
    }
    urb->UrbIsochronousTransfer.IsoPacket[7].Status = USBD_STATUS_BAD_START_FRAME;
    EXPECT_EQ(read_at<ULONG>(b, 132), 8u);
    EXPECT_EQ(read_at<ULONG>(b, 140 + 12), 192u);
    EXPECT_EQ(read_at<ULONG>(b, 140 + 7 * 12 + 8), 0xC0000A00u);
    EXPECT_TRUE(USBD_HALTED(USBD_STATUS_STALL_PID));
    EXPECT_FALSE(USBD_HALTED(USBD_STATUS_INVALID_PIPE_HANDLE));
    EXPECT_TRUE(USBD_ERROR(USBD_STATUS_INVALID_PIPE_HANDLE));
    EXPECT_TRUE(USBD_PENDING(USBD_STATUS_PENDING));
}

} // namespace

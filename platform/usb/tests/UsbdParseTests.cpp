// USBD descriptor search: matching with wildcards, and the walk stopping at malformed or
// out-of-buffer descriptors.
#include <usbdi.h>
#include <usbdlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// A configuration with AC (0/0, one class-specific descriptor), AS 1 alt 0 and AS 1 alt 1 with
// two endpoints.
std::vector<std::uint8_t> sample_configuration()
{
    std::vector<std::uint8_t> b = {
        9, 2, 0, 0, 2, 1, 0, 0x80, 50,        // configuration, wTotalLength patched below
        9, 4, 0, 0, 0, 1, 1, 0x20, 0,         // AC
        9, 0x24, 1, 0, 2, 0, 0, 0, 0,         // class-specific header
        9, 4, 1, 0, 0, 1, 2, 0x20, 0,         // AS alt 0
        9, 4, 1, 1, 2, 1, 2, 0x20, 0,         // AS alt 1
        7, 5, 0x01, 0x05, 0x00, 0x02, 1,      // iso OUT
        7, 5, 0x81, 0x11, 0x04, 0x00, 4,      // feedback IN
    };
    b[2] = static_cast<std::uint8_t>(b.size());
    b[3] = static_cast<std::uint8_t>(b.size() >> 8);
    return b;
}

PUSB_CONFIGURATION_DESCRIPTOR as_config(std::vector<std::uint8_t> &b)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
}

std::ptrdiff_t offset_of(const void *p, const std::vector<std::uint8_t> &b)
{
    return p == nullptr ? -1 : static_cast<const std::uint8_t *>(p) - b.data();
}

TEST(UsbdParseConfigurationDescriptorEx, FindsInterfacesByNumberAlternateAndClass)
{
    auto b = sample_configuration();
    auto *cfg = as_config(b);
    EXPECT_EQ(offset_of(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 0, -1, -1, -1), b), 9);
    EXPECT_EQ(offset_of(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 1, -1, -1, -1), b), 36);
    EXPECT_EQ(offset_of(USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, -1, 1, 2, -1), b), 27);
    EXPECT_EQ(offset_of(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 2, -1, -1, -1), b), -1);
    EXPECT_EQ(offset_of(USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, -1, 0xFF, -1, -1), b),
              -1);
    // Searching from just after a match finds the next one.
    EXPECT_EQ(offset_of(USBD_ParseConfigurationDescriptorEx(cfg, b.data() + 18, 1, -1, -1, -1, -1),
                        b),
              27);
    EXPECT_EQ(offset_of(USBD_ParseConfigurationDescriptorEx(cfg, b.data() + 36, 1, -1, -1, -1, -1),
                        b),
              36);
}

TEST(UsbdParseConfigurationDescriptorEx, StopsAtZeroLengthAndAtTotalLength)
{
    auto b = sample_configuration();
    auto *cfg = as_config(b);
    SCOPED_TRACE("bLength 0 in front of the alt 1 interface");
    b[27] = 0;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 1, -1, -1, -1), nullptr);
    EXPECT_EQ(offset_of(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 0, -1, -1, -1), b), 9);

    b = sample_configuration();
    cfg = as_config(b);
    b[27] = 1;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 1, -1, -1, -1), nullptr);

    b = sample_configuration();
    cfg = as_config(b);
    b[2] = 40; // wTotalLength ends inside the alt 1 interface descriptor
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 1, -1, -1, -1), nullptr);
    EXPECT_EQ(offset_of(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 0, -1, -1, -1), b), 27);
}

TEST(UsbdParseConfigurationDescriptorEx, TruncatedInterfaceDescriptorNeverMatches)
{
    auto b = sample_configuration();
    b[9] = 2; // AC interface descriptor claims two bytes; the walk continues at the header
    b[11] = 7;
    auto *cfg = as_config(b);
    EXPECT_EQ(offset_of(USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, -1, -1, -1, -1), b),
              27);
}

TEST(UsbdParseDescriptors, WalksByTypeWithinTheBuffer)
{
    auto b = sample_configuration();
    const ULONG total = static_cast<ULONG>(b.size());
    auto *first_ep = USBD_ParseDescriptors(b.data(), total, b.data(), USB_ENDPOINT_DESCRIPTOR_TYPE);
    EXPECT_EQ(offset_of(first_ep, b), 45);
    auto *second_ep = USBD_ParseDescriptors(b.data(), total, b.data() + 46,
                                            USB_ENDPOINT_DESCRIPTOR_TYPE);
    // A start position inside a descriptor is taken as given: from 46 the walk is misaligned
    // and must still stay inside the buffer.
    EXPECT_TRUE(second_ep == nullptr || offset_of(second_ep, b) + second_ep->bLength <= 59);
    EXPECT_EQ(offset_of(USBD_ParseDescriptors(b.data(), total, b.data() + 52,
                                              USB_ENDPOINT_DESCRIPTOR_TYPE),
                        b),
              52);
    EXPECT_EQ(offset_of(USBD_ParseDescriptors(b.data(), total, b.data() + 9, 0x24), b), 18);
    EXPECT_EQ(offset_of(USBD_ParseDescriptors(b.data(), total, b.data(), -1), b), 0);
    EXPECT_EQ(USBD_ParseDescriptors(b.data(), total, b.data() + total, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(b.data(), total, b.data(), 0x30), nullptr);
}

TEST(UsbdParseDescriptors, DescriptorRunningPastTheEndIsNotReturned)
{
    auto b = sample_configuration();
    b[52] = 8; // last endpoint claims one byte more than the buffer holds
    EXPECT_EQ(USBD_ParseDescriptors(b.data(), static_cast<ULONG>(b.size()), b.data() + 46,
                                    USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);
    // One byte of buffer left: not even a header.
    EXPECT_EQ(USBD_ParseDescriptors(b.data(), 1, b.data(), -1), nullptr);
}

TEST(UsbdGetInterfaceLength, CoversClassSpecificAndEndpointDescriptors)
{
    auto b = sample_configuration();
    auto *end = b.data() + b.size();
    EXPECT_EQ(USBD_GetInterfaceLength(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(b.data() + 9),
                                      end),
              18u);
    EXPECT_EQ(USBD_GetInterfaceLength(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(b.data() + 36),
                                      end),
              23u);
    b[45] = 0;
    EXPECT_EQ(USBD_GetInterfaceLength(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(b.data() + 36),
                                      end),
              9u);
}

} // namespace

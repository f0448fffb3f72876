// Descriptor search routines of the USBD library: walking a configuration descriptor by type
// and finding interface descriptors by number, alternate setting and class triple.
#include <usbdi.h>
#include <usbdlib.h>

namespace {

// A descriptor is usable when its header and its whole declared length lie inside the buffer
// and it is long enough to advance past (bLength >= 2).
bool descriptor_fits(const UCHAR *p, const UCHAR *end)
{
    if (p >= end || end - p < 2) {
        return false;
    }
    const UCHAR length = p[0];
    return length >= 2 && length <= end - p;
}

bool wildcard_match(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

} // namespace

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType)
{
    if (DescriptorBuffer == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    auto *const begin = static_cast<const UCHAR *>(DescriptorBuffer);
    auto *const end = begin + TotalLength;
    auto *p = static_cast<const UCHAR *>(StartPosition);
    if (p < begin || p >= end) {
        return nullptr;
    }
    while (descriptor_fits(p, end)) {
        if (DescriptorType == -1 || p[1] == static_cast<UCHAR>(DescriptorType)) {
            return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR *>(p));
        }
        p += p[0];
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol)
{
    if (ConfigurationDescriptor == nullptr) {
        return nullptr;
    }
    auto *const begin = reinterpret_cast<UCHAR *>(ConfigurationDescriptor);
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    PVOID position = StartPosition;
    for (;;) {
        PUSB_COMMON_DESCRIPTOR found =
            USBD_ParseDescriptors(begin, total, position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (found == nullptr) {
            return nullptr;
        }
        auto *const iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        // A truncated interface descriptor never matches; its fields past bLength are not its own.
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            wildcard_match(InterfaceNumber, iface->bInterfaceNumber) &&
            wildcard_match(AlternateSetting, iface->bAlternateSetting) &&
            wildcard_match(InterfaceClass, iface->bInterfaceClass) &&
            wildcard_match(InterfaceSubClass, iface->bInterfaceSubClass) &&
            wildcard_match(InterfaceProtocol, iface->bInterfaceProtocol)) {
            return iface;
        }
        position = reinterpret_cast<UCHAR *>(found) + found->bLength;
        if (static_cast<UCHAR *>(position) >= begin + total) {
            return nullptr;
        }
    }
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd)
{
    if (InterfaceDescriptor == nullptr || BufferEnd == nullptr) {
        return 0;
    }
    auto *const begin = reinterpret_cast<const UCHAR *>(InterfaceDescriptor);
    if (!descriptor_fits(begin, BufferEnd) || begin[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
        return 0;
    }
    const UCHAR *p = begin + begin[0];
    while (descriptor_fits(p, BufferEnd) && p[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
        p += p[0];
    }
    return static_cast<ULONG>(p - begin);
}

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation)
{
    if (VersionInformation != nullptr) {
        VersionInformation->USBDI_Version = USBDI_VERSION;
        VersionInformation->Supported_USB_Version = 0x0200;
    }
}

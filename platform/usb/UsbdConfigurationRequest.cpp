// USBD_CreateConfigurationRequestEx: the select-configuration URB for a list of interfaces.
#include <wdm.h>
#include <usbdlib.h>

#include <platform/pool.h>

namespace {

// Reads "USBD" in a pool dump.
constexpr ULONG usbd_pool_tag = 0x44425355;

bool inside(const UCHAR *p, SIZE_T size, const UCHAR *begin, const UCHAR *end)
{
    return p >= begin && p <= end && static_cast<SIZE_T>(end - p) >= size;
}

} // namespace

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) {
        return nullptr;
    }
    auto *const begin = reinterpret_cast<const UCHAR *>(ConfigurationDescriptor);
    auto *const end = begin + ConfigurationDescriptor->wTotalLength;

    SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        auto *const d = reinterpret_cast<const UCHAR *>(entry->InterfaceDescriptor);
        if (!inside(d, sizeof(USB_INTERFACE_DESCRIPTOR), begin, end)) {
            return nullptr;
        }
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    }
    if (size > MAXUSHORT) {
        return nullptr;
    }
    // Never smaller than the declared URB, so that every named field of it is addressable.
    const SIZE_T allocation = size < sizeof(struct _URB_SELECT_CONFIGURATION)
                                  ? sizeof(struct _URB_SELECT_CONFIGURATION)
                                  : size;
    // Charged to the calling driver, which frees it with ExFreePool.
    auto *const urb = static_cast<PURB>(platform::pool_allocate(NonPagedPoolNx, allocation, usbd_pool_tag,
                                                                __builtin_return_address(0)));
    if (urb == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(urb, allocation);
    UsbBuildSelectConfigurationRequest(urb, size, ConfigurationDescriptor);

    auto *slot = reinterpret_cast<UCHAR *>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        const PUSB_INTERFACE_DESCRIPTOR d = entry->InterfaceDescriptor;
        auto *const info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(slot);
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry->Interface = info;
        slot += info->Length;
    }
    return urb;
}

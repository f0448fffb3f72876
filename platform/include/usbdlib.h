// USBD helper library: URB sizes and build macros, configuration-request construction and the
// descriptor search routines that client drivers use on a configuration descriptor.
#pragma once
#include <ntdef.h>
#include <usb.h>
#include <usbioctl.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16);

// 40 + 24 x interfaces + 24 x pipes (the unsigned arithmetic wraps back for zero pipes).
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                      \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                 \
     ((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                             \
     ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))

// 56 + 24 x pipes.
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes)                                           \
    (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes) - 1) * sizeof(USBD_PIPE_INFORMATION))

// 24 + 24 x endpoints.
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                   \
    (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) -      \
     sizeof(USBD_PIPE_INFORMATION))

// 152 + 12 x packets: twelve bytes more than the packet array needs, which is what clients
// put in the header's Length.
#define GET_ISO_URB_SIZE(n)                                                                     \
    (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(0) == 56);
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(2) == 56 + 48);
static_assert(GET_USBD_INTERFACE_SIZE(0) == 24 && GET_USBD_INTERFACE_SIZE(3) == 96);
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 1) == 40 + 48 + 24);
static_assert(GET_ISO_URB_SIZE(64) == 920 && GET_ISO_URB_SIZE(80) == 1112);

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,         \
                                               transferBufferMDL, transferBufferLength,         \
                                               transferFlags, link)                             \
    do {                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                    \
        (urb)->UrbHeader.Length = (USHORT)(length);                                             \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                            \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);        \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);              \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                    \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                      \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                     \
    } while (0)

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,  \
                                     transferBuffer, transferBufferMDL, transferBufferLength,   \
                                     link)                                                      \
    do {                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                    \
        (urb)->UrbHeader.Length = (USHORT)(length);                                             \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);       \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);             \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                   \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                   \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                           \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                           \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                    \
    } while (0)

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link)       \
    do {                                                                                        \
        (urb)->UrbHeader.Function = (op);                                                       \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);               \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);                \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);              \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                    \
        (urb)->UrbControlGetStatusRequest.Index = (index);                                      \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                     \
    } while (0)

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)                           \
    do {                                                                                        \
        (urb)->UrbHeader.Function = (op);                                                       \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);                  \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);                    \
        (urb)->UrbControlFeatureRequest.Index = (index);                                        \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                                       \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)                \
    do {                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                          \
        (urb)->UrbHeader.Length = (USHORT)(length);                                             \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);      \
    } while (0)

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber,       \
                                       alternateSetting)                                        \
    do {                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                              \
        (urb)->UrbHeader.Length = (USHORT)(length);                                             \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);              \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                \
        (urb)->UrbSelectInterface.Interface.Length =                                            \
            (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE)); \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                  \
    } while (0)

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value,    \
                              index, transferBuffer, transferBufferMDL, transferBufferLength,   \
                              link)                                                             \
    do {                                                                                        \
        (urb)->UrbHeader.Function = (cmd);                                                      \
        (urb)->UrbHeader.Length = (USHORT)(length);                                             \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);      \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);            \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                  \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);           \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                    \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                    \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                    \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                   \
    } while (0)

// Builds a zeroed select-configuration URB from non-paged pool with one interface information
// per list entry (NumberOfPipes = bNumEndpoints, Length = 24 + 24 x pipes) and points each
// entry's Interface at its slot. The list ends with a null InterfaceDescriptor. Returns null
// when the pool is exhausted or an entry's descriptor lies outside the configuration
// descriptor. The caller frees the URB with ExFreePool.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// Searches the configuration descriptor (wTotalLength bytes) from StartPosition for an
// interface descriptor matching every argument that is not -1. The walk stops at a descriptor
// with bLength < 2 or one that runs past the end; null when nothing matches.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

// The first descriptor of DescriptorType (-1: any) at or after StartPosition that lies wholly
// inside the TotalLength bytes of DescriptorBuffer; same stopping rules as above.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType);

// Bytes from the interface descriptor to the next interface descriptor or to BufferEnd,
// covering its class-specific and endpoint descriptors; 0 when the descriptor is malformed.
ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd);

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

// Devices that need special handling, by vendor and product ID.
#pragma once
#include <ntdef.h>

struct USB_AUDIO_DEVICE_ID {
    USHORT VendorId;
    USHORT ProductId;
};

// The maker's own vendor ID, the one its supported devices (asynchronous 0x0102, standard
// 0x0201 and 0x0202) carry as well.
constexpr USHORT USB_AUDIO_MAKER_VENDOR_ID = 0x3A51;

// The maker's product whose audio interfaces use the vendor class and whose render packets
// carry a 32-bit byte count in front of the audio bytes.
constexpr USB_AUDIO_DEVICE_ID USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS = {USB_AUDIO_MAKER_VENDOR_ID, 0x0301};
// A device of another vendor with vendor-class audio interfaces.
constexpr USB_AUDIO_DEVICE_ID USB_AUDIO_QUIRK_OTHER_VENDOR_CLASS = {0x1E3A, 0x0411};
// A device of a third vendor that must have every interface configured.
constexpr USB_AUDIO_DEVICE_ID USB_AUDIO_QUIRK_FULL_CONFIGURATION = {0x22E1, 0x0C02};

// The USB driver interface as a client driver sees it: URBs and the internal control codes.
#pragma once
#include <usb.h>
#include <usbioctl.h>

#define USBDI_VERSION 0x00000600

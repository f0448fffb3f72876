// USB 2.0 descriptor declarations (device qualifier, high-bandwidth endpoints); see usbspec.h.
#pragma once
#include <usbspec.h>

// USB 1.x descriptor declarations; they are shared with USB 2.0 and live in usbspec.h.
#pragma once
#include <usbspec.h>

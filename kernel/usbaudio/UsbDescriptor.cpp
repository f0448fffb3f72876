// Bounded descriptor field reads and configuration descriptor walks.
#include "UsbDescriptor.h"

BOOLEAN UsbDescHas(const UCHAR *desc, ULONG offset, ULONG size)
{
    return desc != nullptr && static_cast<ULONGLONG>(offset) + size <= desc[0];
}

UCHAR UsbDescByte(const UCHAR *desc, ULONG offset)
{
    return UsbDescHas(desc, offset, 1) ? desc[offset] : 0;
}

USHORT UsbDescWord(const UCHAR *desc, ULONG offset)
{
    return UsbDescHas(desc, offset, 2) ? UsbReadLe16(desc + offset) : 0;
}

ULONG UsbDescTriple(const UCHAR *desc, ULONG offset)
{
    return UsbDescHas(desc, offset, 3) ? UsbReadLe24(desc + offset) : 0;
}

ULONG UsbDescDword(const UCHAR *desc, ULONG offset)
{
    return UsbDescHas(desc, offset, 4) ? UsbReadLe32(desc + offset) : 0;
}

ULONG UsbWellFormedLength(const UCHAR *buffer, ULONG length)
{
    ULONG offset = 0;
    while (buffer != nullptr && length - offset >= 2) {
        ULONG descLength = buffer[offset];
        if (descLength < 2 || descLength > length - offset) {
            break;
        }
        offset += descLength;
    }
    return offset;
}

const UCHAR *USB_DESC_VIEW::Next(const UCHAR *desc) const
{
    const UCHAR *next = desc + desc[0];
    return next < End() ? next : nullptr;
}

const UCHAR *USB_DESC_VIEW::FindType(const UCHAR *from, UCHAR type, const UCHAR *limit) const
{
    const UCHAR *stop = limit != nullptr ? limit : End();
    for (const UCHAR *d = from; d != nullptr && d < stop; d = Next(d)) {
        if (d[1] == type) {
            return d;
        }
    }
    return nullptr;
}

const UCHAR *USB_DESC_VIEW::NextInterface(const UCHAR *desc) const
{
    const UCHAR *next = desc != nullptr ? Next(desc) : nullptr;
    return next != nullptr ? FindType(next, USB_DESC_INTERFACE, nullptr) : nullptr;
}

const UCHAR *USB_DESC_VIEW::FindInterface(LONG number, LONG alternate, LONG cls, LONG subClass) const
{
    if (Length == 0) {
        return nullptr;
    }
    for (const UCHAR *d = FindType(Begin, USB_DESC_INTERFACE, nullptr); d != nullptr; d = NextInterface(d)) {
        if (!UsbDescHas(d, 0, USB_INTERFACE_DESC_LENGTH)) {
            continue;
        }
        if ((number == USB_ANY || d[2] == number) && (alternate == USB_ANY || d[3] == alternate) &&
            (cls == USB_ANY || d[5] == cls) && (subClass == USB_ANY || d[6] == subClass)) {
            return d;
        }
    }
    return nullptr;
}

const UCHAR *USB_DESC_VIEW::InterfaceSpanEnd(const UCHAR *ifDesc) const
{
    const UCHAR *next = NextInterface(ifDesc);
    return next != nullptr ? next : End();
}

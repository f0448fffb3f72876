// Bounded access to USB descriptors held in a configuration descriptor buffer: little-endian
// field reads that treat a field beyond bLength as absent, and walks that never leave the buffer.
#pragma once
#include <ntdef.h>

// Standard and class-specific descriptor types and subtypes used by the library.
constexpr UCHAR USB_DESC_DEVICE = 0x01;
constexpr UCHAR USB_DESC_CONFIGURATION = 0x02;
constexpr UCHAR USB_DESC_STRING = 0x03;
constexpr UCHAR USB_DESC_INTERFACE = 0x04;
constexpr UCHAR USB_DESC_ENDPOINT = 0x05;
constexpr UCHAR USB_DESC_CS_INTERFACE = 0x24;
constexpr UCHAR USB_DESC_CS_ENDPOINT = 0x25;

constexpr UCHAR USB_AUDIO_CLASS = 0x01;
constexpr UCHAR USB_VENDOR_CLASS = 0xFF;
constexpr UCHAR USB_AUDIO_SUBCLASS_CONTROL = 0x01;
constexpr UCHAR USB_AUDIO_SUBCLASS_STREAMING = 0x02;

constexpr ULONG USB_CONFIG_HEADER_LENGTH = 9;
constexpr ULONG USB_INTERFACE_DESC_LENGTH = 9;

// Any-value marker for the search arguments of UsbFindInterface.
constexpr LONG USB_ANY = -1;

inline USHORT UsbReadLe16(const UCHAR *p)
{
    return static_cast<USHORT>(p[0] | (p[1] << 8));
}

inline ULONG UsbReadLe24(const UCHAR *p)
{
    return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16);
}

inline ULONG UsbReadLe32(const UCHAR *p)
{
    return UsbReadLe24(p) | (static_cast<ULONG>(p[3]) << 24);
}

inline void UsbWriteLe32(UCHAR *p, ULONG v)
{
    p[0] = static_cast<UCHAR>(v);
    p[1] = static_cast<UCHAR>(v >> 8);
    p[2] = static_cast<UCHAR>(v >> 16);
    p[3] = static_cast<UCHAR>(v >> 24);
}

// Field reads of a descriptor whose bLength has been checked against its buffer. A field that
// does not lie wholly inside bLength reads as 0; a null descriptor reads as 0.
UCHAR UsbDescByte(const UCHAR *desc, ULONG offset);
USHORT UsbDescWord(const UCHAR *desc, ULONG offset);
ULONG UsbDescTriple(const UCHAR *desc, ULONG offset);
ULONG UsbDescDword(const UCHAR *desc, ULONG offset);
// TRUE when the field [offset, offset + size) lies inside the descriptor.
BOOLEAN UsbDescHas(const UCHAR *desc, ULONG offset, ULONG size);

// Length of the well-formed prefix of a configuration descriptor buffer: descriptors are
// walked from the start while each has bLength >= 2 and fits in the buffer.
ULONG UsbWellFormedLength(const UCHAR *buffer, ULONG length);

// A view of a configuration descriptor buffer whose descriptors have been checked by
// UsbWellFormedLength (Length covers only whole descriptors).
struct USB_DESC_VIEW {
    const UCHAR *Begin;
    ULONG Length;

    const UCHAR *End() const { return Begin + Length; }
    // The descriptor after desc, or null at the end.
    const UCHAR *Next(const UCHAR *desc) const;
    // The first descriptor at or after from of the given type
    // before limit (null: the end of the buffer).
    const UCHAR *FindType(const UCHAR *from, UCHAR type, const UCHAR *limit) const;
    // The next interface descriptor after desc, or null.
    const UCHAR *NextInterface(const UCHAR *desc) const;
    // The first interface descriptor matching the arguments (USB_ANY matches anything).
    const UCHAR *FindInterface(LONG number, LONG alternate, LONG cls, LONG subClass) const;
    // End of the area that belongs to an interface descriptor: the next interface descriptor or
    // the end of the buffer.
    const UCHAR *InterfaceSpanEnd(const UCHAR *ifDesc) const;
};

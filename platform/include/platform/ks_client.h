// The stand-in's KS conventions between a client (the audio engine's role) and the port class
// driver: the create name of a pin and the layout of property requests on a KS handle.
//
// A pin is created by opening "<filter path>" + ks_pin_create_name(connect): the file name that
// reaches the driver is the filter's reference string, "\", the text form of KSNAME_Pin, "\"
// and the connect request (a KSPIN_CONNECT followed by its KSDATAFORMAT) in hexadecimal.
//
// IOCTL_KS_PROPERTY travels buffered: the input holds the property request (a KSPROPERTY,
// KSP_PIN, KSNODEPROPERTY ... with what follows it); for a SET the value is appended to the
// input and the output length is the value's size. The output receives the value of a GET and
// Information is the value size written or, with STATUS_BUFFER_OVERFLOW, needed.
#pragma once
#include <string>
#include <vector>
#include <ks.h>

namespace platform {

std::wstring ks_pin_create_name(const KSPIN_CONNECT *connect, ULONG connect_size);

// Splits a create file name: the subdevice name and, for a pin create, the connect request.
// False when the name is malformed.
bool ks_parse_create_name(const WCHAR *name, ULONG name_chars, std::wstring *subdevice, bool *is_pin,
                          std::vector<UCHAR> *connect);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::wstring ks_guid_text(const GUID &guid);

// Port class objects alive now (ports, port streams, filters and pins), for leak checks.
LONG portcls_live_objects();

} // namespace platform

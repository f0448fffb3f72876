// The property fuzz targets' KS requests, decoded from the input.
#include "KsFuzzRequests.h"
#include <cstring>
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>
#include <platform/ks_client.h>
#include <platform/user_io.h>

namespace usbaudio_test {
namespace {

constexpr UCHAR POISON = 0xA5;
constexpr ULONG VALUE_LIMIT = 1024;
constexpr ULONG VERBS = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

const GUID *const PROPERTY_SETS[] = {&KSPROPSETID_Audio,      &KSPROPSETID_Jack,
                                     &KSPROPSETID_Pin,        &KSPROPSETID_General,
                                     &KSPROPSETID_Connection, &KSPROPSETID_RtAudio,
                                     &KSPROPSETID_Topology,   &KSPROPSETID_AudioSignalProcessing};
const GUID *const MAJOR_FORMATS[] = {&KSDATAFORMAT_TYPE_AUDIO, &KSDATAFORMAT_TYPE_WILDCARD};
const GUID *const SUB_FORMATS[] = {&KSDATAFORMAT_SUBTYPE_PCM, &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT,
                                   &KSDATAFORMAT_SUBTYPE_WILDCARD, &KSDATAFORMAT_SUBTYPE_DSD_OVER_PCM,
                                   &KSDATAFORMAT_SUBTYPE_ANALOG};
const GUID *const SPECIFIERS[] = {&KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, &KSDATAFORMAT_SPECIFIER_DSOUND,
                                  &KSDATAFORMAT_SPECIFIER_NONE, &KSDATAFORMAT_SPECIFIER_WILDCARD};
const ULONG RATES[] = {0, 8000, 32000, 44100, 48000, 88200, 96000, 176400, 192000, 384000, 768000, 2822400};
const USHORT BITS[] = {0, 8, 16, 20, 24, 32, 64};

// One of the table's GUIDs, or sixteen bytes of the input.
template <std::size_t N>
GUID guid_from(fuzz_input &input, const GUID *const (&table)[N])
{
    std::uint32_t pick = input.choice(N + 1);
    if (pick < N) {
        return *table[pick];
    }
    GUID guid;
    std::vector<std::uint8_t> bytes = input.bytes(sizeof(guid));
    std::memcpy(&guid, bytes.data(), sizeof(guid));
    return guid;
}

ULONG rate_from(fuzz_input &input)
{
    std::uint32_t pick = input.choice(count_of(RATES) + 1);
    return pick < count_of(RATES) ? RATES[pick] : input.u32();
}

USHORT bits_from(fuzz_input &input)
{
    std::uint32_t pick = input.choice(count_of(BITS) + 1);
    return pick < count_of(BITS) ? BITS[pick] : input.u16();
}

template <typename T>
void append(std::vector<UCHAR> *out, const T &item)
{
    const UCHAR *bytes = reinterpret_cast<const UCHAR *>(&item);
    out->insert(out->end(), bytes, bytes + sizeof(item));
}

// A KSPROPERTY followed by up to four 32-bit fields (the node or pin, what follows it, the
// channel ...), now and then cut short or run long.
std::vector<UCHAR> property_request(fuzz_input &input, const GUID &set, ULONG id, ULONG flags)
{
    KSPROPERTY header{};
    header.Set = set;
    header.Id = id;
    header.Flags = flags;
    std::vector<UCHAR> request;
    append(&request, header);
    for (std::uint32_t fields = input.choice(5); fields != 0; --fields) {
        append(&request, input.number());
    }
    if (input.choice(8) == 0) {
        request.resize(input.size(static_cast<std::uint32_t>(request.size()) + 8));
    }
    return request;
}

// The request with a value buffer: its bytes for a SET, poison otherwise.
void send(sim::ks_handle &handle, const std::vector<UCHAR> &request, ULONG flags, fuzz_input &input)
{
    ULONG valueSize = input.size(VALUE_LIMIT);
    bool set = (flags & VERBS) == KSPROPERTY_TYPE_SET;
    std::vector<UCHAR> value = set ? input.bytes(valueSize) : std::vector<UCHAR>(valueSize, POISON);
    const ULONG requestSize = static_cast<ULONG>(request.size());
    void *valueData = valueSize != 0 ? value.data() : nullptr;
    if (set) {
        handle.set(request.empty() ? nullptr : request.data(), requestSize, valueData, valueSize);
    } else {
        handle.get(request.empty() ? nullptr : request.data(), requestSize, valueData, valueSize);
    }
}

void send_property(sim::ks_handle &handle, fuzz_input &input)
{
    static const ULONG verbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                                  KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, 0};
    GUID set = guid_from(input, PROPERTY_SETS);
    ULONG id = input.number();
    std::uint32_t pick = input.choice(count_of(verbs) + 1);
    ULONG flags = pick < count_of(verbs) ? verbs[pick] : input.u32();
    if (input.flag()) {
        flags |= KSPROPERTY_TYPE_TOPOLOGY;
    }
    send(handle, property_request(input, set, id, flags), flags, input);
}

// KSPROPERTY_PIN_DATAINTERSECTION with up to two client audio ranges of any fields, each
// possibly flagged with an attribute list, under a list header of any size and count.
void send_intersection(sim::ks_handle &handle, fuzz_input &input)
{
    KSP_PIN pin{};
    pin.Property.Set = KSPROPSETID_Pin;
    pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    pin.Property.Flags = KSPROPERTY_TYPE_GET;
    pin.PinId = input.number();
    std::vector<UCHAR> items;
    std::uint32_t count = input.choice(3);
    for (std::uint32_t i = 0; i < count; ++i) {
        KSDATARANGE_AUDIO range{};
        std::uint32_t size = input.choice(3);
        range.DataRange.FormatSize = size == 0 ? sizeof(KSDATARANGE_AUDIO) : size == 1 ? sizeof(KSDATARANGE) : input.number();
        bool attributes = input.choice(4) == 0;
        range.DataRange.Flags = attributes ? KSDATARANGE_ATTRIBUTES : 0;
        range.DataRange.SampleSize = input.number();
        range.DataRange.MajorFormat = guid_from(input, MAJOR_FORMATS);
        range.DataRange.SubFormat = guid_from(input, SUB_FORMATS);
        range.DataRange.Specifier = guid_from(input, SPECIFIERS);
        range.MaximumChannels = input.number();
        range.MinimumBitsPerSample = bits_from(input);
        range.MaximumBitsPerSample = bits_from(input);
        range.MinimumSampleFrequency = rate_from(input);
        range.MaximumSampleFrequency = rate_from(input);
        append(&items, range);
        items.resize((items.size() + 7) & ~std::size_t{7});
        if (attributes) {
            std::uint32_t attributeBytes = 16 * input.choice(3);
            KSMULTIPLE_ITEM list{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + attributeBytes), attributeBytes / 16};
            append(&items, list);
            std::vector<std::uint8_t> body = input.bytes(attributeBytes);
            items.insert(items.end(), body.begin(), body.end());
        }
    }
    KSMULTIPLE_ITEM header{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size()), count};
    if (input.choice(4) == 0) {
        header.Size = input.number();
        header.Count = input.number();
    }
    std::vector<UCHAR> request;
    append(&request, pin);
    append(&request, header);
    request.insert(request.end(), items.begin(), items.end());
    send(handle, request, KSPROPERTY_TYPE_GET, input);
}

// A connection format: a KSDATAFORMAT and a WAVEFORMATEXTENSIBLE of any fields, of the size of
// either structure or any size, with a FormatSize that agrees or not.
std::vector<UCHAR> connection_format(fuzz_input &input)
{
    static const WORD tags[] = {WAVE_FORMAT_PCM, WAVE_FORMAT_EXTENSIBLE, WAVE_FORMAT_IEEE_FLOAT};
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE format{};
    format.DataFormat.MajorFormat = guid_from(input, MAJOR_FORMATS);
    format.DataFormat.SubFormat = guid_from(input, SUB_FORMATS);
    format.DataFormat.Specifier = guid_from(input, SPECIFIERS);
    format.DataFormat.SampleSize = input.number();
    WAVEFORMATEX &wave = format.WaveFormatExt.Format;
    std::uint32_t tag = input.choice(count_of(tags) + 1);
    wave.wFormatTag = tag < count_of(tags) ? tags[tag] : input.u16();
    wave.nChannels = static_cast<WORD>(input.number());
    wave.nSamplesPerSec = rate_from(input);
    wave.wBitsPerSample = bits_from(input);
    wave.nBlockAlign = static_cast<WORD>(wave.nChannels * ((wave.wBitsPerSample + 7) / 8));
    wave.nAvgBytesPerSec = wave.nSamplesPerSec * wave.nBlockAlign;
    if (input.choice(4) == 0) {
        wave.nBlockAlign = static_cast<WORD>(input.number());
        wave.nAvgBytesPerSec = input.number();
    }
    wave.cbSize = input.flag() ? 22 : static_cast<WORD>(input.number());
    format.WaveFormatExt.Samples.wValidBitsPerSample = bits_from(input);
    format.WaveFormatExt.dwChannelMask = input.number();
    format.WaveFormatExt.SubFormat = guid_from(input, SUB_FORMATS);
    std::uint32_t pick = input.choice(3);
    std::uint32_t size = pick == 0   ? sizeof(KSDATAFORMAT_WAVEFORMATEX)
                         : pick == 1 ? sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE)
                                     : input.size(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) + 16);
    format.DataFormat.FormatSize = input.choice(4) != 0 ? size : input.number();
    std::vector<UCHAR> bytes;
    append(&bytes, format);
    bytes.resize(size);
    return bytes;
}

// State, buffer and property requests on a created pin. It goes no further than ACQUIRE: a
// WaveRT pin starts streaming at PAUSE, which waits for a bus that only the engine targets run.
void exercise_pin(sim::ks_handle &pin, fuzz_input &input)
{
    for (std::uint32_t ops = input.choice(5); ops != 0; --ops) {
        switch (input.choice(3)) {
        case 0: {
            static const ULONG states[] = {KSSTATE_STOP, KSSTATE_ACQUIRE};
            KSPROPERTY request{};
            request.Set = KSPROPSETID_Connection;
            request.Id = KSPROPERTY_CONNECTION_STATE;
            request.Flags = KSPROPERTY_TYPE_SET;
            ULONG state = states[input.choice(count_of(states))];
            pin.set(&request, sizeof(request), &state, sizeof(state));
            break;
        }
        case 1: {
            KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
            request.Property.Set = KSPROPSETID_RtAudio;
            request.Property.Id = input.flag() ? KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION : KSPROPERTY_RTAUDIO_BUFFER;
            request.Property.Flags = KSPROPERTY_TYPE_GET;
            request.RequestedBufferSize = input.flag() ? input.size(65536) : input.number();
            request.NotificationCount = input.number();
            KSRTAUDIO_BUFFER buffer{};
            ULONG size = request.Property.Id == KSPROPERTY_RTAUDIO_BUFFER ? sizeof(KSRTAUDIO_BUFFER_PROPERTY)
                                                                          : sizeof(request);
            pin.get(&request, size, &buffer, input.flag() ? sizeof(buffer) : input.size(sizeof(buffer)));
            break;
        }
        default:
            send_property(pin, input);
            break;
        }
    }
}

void create_pin(sim::wavert_filter &filter, fuzz_input &input)
{
    KSPIN_CONNECT header{};
    header.Interface.Set = KSINTERFACESETID_Standard;
    header.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    header.Medium.Set = KSMEDIUMSETID_Standard;
    header.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    header.PinId = input.number();
    header.Priority.PriorityClass = KSPRIORITY_NORMAL;
    header.Priority.PrioritySubClass = 1;
    std::vector<UCHAR> connect;
    append(&connect, header);
    std::vector<UCHAR> format = connection_format(input);
    connect.insert(connect.end(), format.begin(), format.end());
    std::wstring path = filter.path() + platform::ks_pin_create_name(reinterpret_cast<const KSPIN_CONNECT *>(connect.data()),
                                                                     static_cast<ULONG>(connect.size()));
    platform::user_file *file = nullptr;
    if (NT_SUCCESS(platform::user_io_open(path.c_str(), GENERIC_READ | GENERIC_WRITE, &file))) {
        sim::ks_handle pin(file);
        exercise_pin(pin, input);
    }
}

} // namespace

void send_fuzz_ks_request(sim::wavert_filter &filter, fuzz_input &input)
{
    switch (input.choice(4)) {
    case 0:
    case 1:
        send_property(filter.handle(), input);
        break;
    case 2:
        send_intersection(filter.handle(), input);
        break;
    default:
        create_pin(filter, input);
        break;
    }
}

} // namespace usbaudio_test

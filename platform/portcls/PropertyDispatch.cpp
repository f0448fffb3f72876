// Property requests through automation tables, access to descriptor arrays by their strides,
// and the data-range helpers of pin creation and intersection.
#include <cstring>
#include "portcls_internal.h"

namespace platform {

NTSTATUS pc_dispatch_automation(const PCAUTOMATION_TABLE *table, const KSPROPERTY *property, IUnknown *major,
                                IUnknown *minor, ULONG node, void *instance, ULONG instance_size, void *value,
                                ULONG *value_size, PIRP irp, bool *found)
{
    *found = false;
    if (table == nullptr || table->Properties == nullptr || table->PropertyCount == 0) {
        return STATUS_NOT_FOUND;
    }
    ULONG stride = table->PropertyItemSize != 0 ? table->PropertyItemSize : sizeof(PCPROPERTY_ITEM);
    if (stride < sizeof(PCPROPERTY_ITEM)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG verb = property->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
    const UCHAR *items = reinterpret_cast<const UCHAR *>(table->Properties);
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        const PCPROPERTY_ITEM *item = reinterpret_cast<const PCPROPERTY_ITEM *>(items + (SIZE_T)i * stride);
        if (item->Set == nullptr || !IsEqualGUID(*item->Set, property->Set) || item->Id != property->Id) {
            continue;
        }
        *found = true;
        // Exactly one verb per request, and one the item supports.
        if (verb == 0 || (verb & (verb - 1)) != 0 || (item->Flags & verb) == 0 || item->Handler == nullptr) {
            *value_size = 0;
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        PCPROPERTY_REQUEST request{};
        request.MajorTarget = major;
        request.MinorTarget = minor;
        request.Node = node;
        request.PropertyItem = item;
        request.Verb = verb;
        request.InstanceSize = instance_size;
        request.Instance = instance_size != 0 ? instance : nullptr;
        ULONG given = *value_size;
        request.ValueSize = given;
        request.Value = given != 0 ? value : nullptr;
        request.Irp = irp;
        NTSTATUS status = item->Handler(&request);
        if (NT_SUCCESS(status) && request.ValueSize > given) {
            // A successful answer cannot be longer than the buffer it was written to.
            request.ValueSize = given;
        }
        *value_size = (!NT_ERROR(status) || status == STATUS_BUFFER_TOO_SMALL) ? request.ValueSize : 0;
        return status;
    }
    return STATUS_NOT_FOUND;
}

const PCPIN_DESCRIPTOR *pc_pin_descriptor(const PCFILTER_DESCRIPTOR *filter, ULONG pin_id)
{
    if (filter == nullptr || pin_id >= filter->PinCount) {
        return nullptr;
    }
    return reinterpret_cast<const PCPIN_DESCRIPTOR *>(reinterpret_cast<const UCHAR *>(filter->Pins) +
                                                      (SIZE_T)pin_id * filter->PinSize);
}

bool pc_acquire_pin_instance(std::unique_lock<std::mutex> &guard, const PCFILTER_DESCRIPTOR *filter,
                             std::vector<ULONG> &instances, IUnknown *miniport, ULONG pin_id)
{
    const PCPIN_DESCRIPTOR *pin = pc_pin_descriptor(filter, pin_id);
    if (pin == nullptr || pin_id >= instances.size() || miniport == nullptr) {
        return false;
    }
    ULONG current = instances[pin_id];
    ULONG necessary = pin->MinFilterInstanceCount;
    ULONG filter_possible = pin->MaxFilterInstanceCount;
    ULONG global_current = current;
    ULONG global_possible = pin->MaxGlobalInstanceCount;
    miniport->AddRef();
    guard.unlock();
    IPinCount *counter = nullptr;
    if (NT_SUCCESS(miniport->QueryInterface(IID_IPinCount, reinterpret_cast<void **>(&counter))) &&
        counter != nullptr) {
        counter->PinCount(pin_id, &necessary, &current, &filter_possible, &global_current, &global_possible);
        counter->Release();
    }
    miniport->Release();
    guard.lock();
    const ULONG limit = filter_possible < global_possible ? filter_possible : global_possible;
    if (instances[pin_id] >= limit) {
        return false;
    }
    ++instances[pin_id];
    return true;
}

const PCNODE_DESCRIPTOR *pc_node_descriptor(const PCFILTER_DESCRIPTOR *filter, ULONG node_id)
{
    if (filter == nullptr || node_id >= filter->NodeCount) {
        return nullptr;
    }
    return reinterpret_cast<const PCNODE_DESCRIPTOR *>(reinterpret_cast<const UCHAR *>(filter->Nodes) +
                                                       (SIZE_T)node_id * filter->NodeSize);
}

std::vector<const KSDATARANGE *> pc_pin_ranges(const PCPIN_DESCRIPTOR *pin)
{
    std::vector<const KSDATARANGE *> ranges;
    const KSPIN_DESCRIPTOR &ks = pin->KsPinDescriptor;
    if (ks.DataRanges == nullptr) {
        return ranges;
    }
    for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
        const KSDATARANGE *range = ks.DataRanges[i];
        if (range == nullptr) {
            continue;
        }
        ranges.push_back(range);
        // A flagged range is followed by its attribute list, which is not a range.
        if ((range->Flags & KSDATARANGE_ATTRIBUTES) != 0) {
            ++i;
        }
    }
    return ranges;
}

const KSMULTIPLE_ITEM *pc_range_attributes(const PCPIN_DESCRIPTOR *pin, const KSDATARANGE *range)
{
    const KSPIN_DESCRIPTOR &ks = pin->KsPinDescriptor;
    if ((range->Flags & KSDATARANGE_ATTRIBUTES) == 0 || ks.DataRanges == nullptr) {
        return nullptr;
    }
    for (ULONG i = 0; i + 1 < ks.DataRangesCount; ++i) {
        if (ks.DataRanges[i] == range) {
            return reinterpret_cast<const KSMULTIPLE_ITEM *>(ks.DataRanges[i + 1]);
        }
    }
    return nullptr;
}

namespace {

bool guid_matches(const GUID &want, const GUID &have, const GUID &wildcard)
{
    return IsEqualGUID(want, have) || IsEqualGUID(want, wildcard) || IsEqualGUID(have, wildcard);
}

// The WAVEFORMATEX of a format, or null when it has none.
const WAVEFORMATEX *wave_format_of(const KSDATAFORMAT *format, ULONG format_size)
{
    if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) &&
        format_size >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
        return reinterpret_cast<const WAVEFORMATEX *>(reinterpret_cast<const UCHAR *>(format) +
                                                      sizeof(KSDATAFORMAT));
    }
    if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND) &&
        format_size >= sizeof(KSDATAFORMAT) + sizeof(KSDSOUND_BUFFERDESC)) {
        return &reinterpret_cast<const KSDATAFORMAT_DSOUND *>(format)->BufferDesc.WaveFormatEx;
    }
    return nullptr;
}

bool is_audio_range(const KSDATARANGE *range)
{
    return range->FormatSize >= sizeof(KSDATARANGE_AUDIO) &&
           IsEqualGUID(range->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
           (IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) ||
            IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND));
}

} // namespace

bool pc_format_matches_pin(const PCPIN_DESCRIPTOR *pin, const KSDATAFORMAT *format, ULONG format_size)
{
    if (format_size < sizeof(KSDATAFORMAT) || format->FormatSize < sizeof(KSDATAFORMAT) ||
        format->FormatSize > format_size) {
        return false;
    }
    for (const KSDATARANGE *range : pc_pin_ranges(pin)) {
        if (!guid_matches(format->MajorFormat, range->MajorFormat, KSDATAFORMAT_TYPE_WILDCARD) ||
            !guid_matches(format->SubFormat, range->SubFormat, KSDATAFORMAT_SUBTYPE_WILDCARD)) {
            continue;
        }
        if (!is_audio_range(range)) {
            if (guid_matches(format->Specifier, range->Specifier, KSDATAFORMAT_SPECIFIER_WILDCARD)) {
                return true;
            }
            continue;
        }
        const WAVEFORMATEX *wave = wave_format_of(format, format->FormatSize);
        if (wave == nullptr) {
            continue;
        }
        const KSDATARANGE_AUDIO *audio = reinterpret_cast<const KSDATARANGE_AUDIO *>(range);
        if (wave->nChannels != 0 && wave->nChannels <= audio->MaximumChannels &&
            wave->wBitsPerSample >= audio->MinimumBitsPerSample &&
            wave->wBitsPerSample <= audio->MaximumBitsPerSample &&
            wave->nSamplesPerSec >= audio->MinimumSampleFrequency &&
            wave->nSamplesPerSec <= audio->MaximumSampleFrequency) {
            return true;
        }
    }
    return false;
}

NTSTATUS pc_default_intersection(const KSDATARANGE *client, const KSDATARANGE *own, ULONG out_len, void *out,
                                 ULONG *out_size)
{
    if (!is_audio_range(client) || !is_audio_range(own) ||
        !IsEqualGUID(own->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        return STATUS_NO_MATCH;
    }
    const KSDATARANGE_AUDIO *a = reinterpret_cast<const KSDATARANGE_AUDIO *>(client);
    const KSDATARANGE_AUDIO *b = reinterpret_cast<const KSDATARANGE_AUDIO *>(own);
    ULONG channels = a->MaximumChannels < b->MaximumChannels ? a->MaximumChannels : b->MaximumChannels;
    ULONG max_bits = a->MaximumBitsPerSample < b->MaximumBitsPerSample ? a->MaximumBitsPerSample
                                                                        : b->MaximumBitsPerSample;
    ULONG min_bits = a->MinimumBitsPerSample > b->MinimumBitsPerSample ? a->MinimumBitsPerSample
                                                                        : b->MinimumBitsPerSample;
    ULONG max_rate = a->MaximumSampleFrequency < b->MaximumSampleFrequency ? a->MaximumSampleFrequency
                                                                            : b->MaximumSampleFrequency;
    ULONG min_rate = a->MinimumSampleFrequency > b->MinimumSampleFrequency ? a->MinimumSampleFrequency
                                                                            : b->MinimumSampleFrequency;
    if (channels == 0 || max_bits < min_bits || max_rate < min_rate || max_bits == 0 || max_bits > 64) {
        return STATUS_NO_MATCH;
    }
    *out_size = sizeof(KSDATAFORMAT_WAVEFORMATEX);
    if (out_len == 0) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (out_len < sizeof(KSDATAFORMAT_WAVEFORMATEX)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KSDATAFORMAT_WAVEFORMATEX *format = static_cast<KSDATAFORMAT_WAVEFORMATEX *>(out);
    std::memset(format, 0, sizeof(*format));
    format->DataFormat.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX);
    format->DataFormat.MajorFormat = own->MajorFormat;
    format->DataFormat.SubFormat = own->SubFormat;
    format->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEX &wave = format->WaveFormatEx;
    wave.wFormatTag = IsEqualGUID(own->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) ? WAVE_FORMAT_IEEE_FLOAT
                                                                                   : WAVE_FORMAT_PCM;
    wave.nChannels = (WORD)channels;
    wave.nSamplesPerSec = max_rate;
    wave.wBitsPerSample = (WORD)max_bits;
    wave.nBlockAlign = (WORD)(channels * ((max_bits + 7) / 8));
    wave.nAvgBytesPerSec = max_rate * wave.nBlockAlign;
    format->DataFormat.SampleSize = wave.nBlockAlign;
    return STATUS_SUCCESS;
}

} // namespace platform

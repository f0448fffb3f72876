// What the ASIO host keeps and reports: the driver list of HKLM\SOFTWARE\ASIO, the signal it
// writes, the captured input with its loopback check and WAV file, and its counters.
#include <sim/asio_host.h>
#include <sim/clean_run.h>
#include <objbase.h>
#include <windows.h>
#include <algorithm>
#include <fstream>

namespace sim {

namespace {

std::wstring read_text(HKEY key, const WCHAR *name)
{
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_SZ) {
        return {};
    }
    // The stored text need not carry its terminator; room for one more character keeps it safe.
    std::wstring text(bytes / sizeof(WCHAR) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(text.data()), &bytes) != ERROR_SUCCESS) {
        return {};
    }
    text.resize(std::min<size_t>(bytes / sizeof(WCHAR), text.size()));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos) {
        text.resize(end);
    }
    return text;
}

void put16(std::vector<uint8_t> &out, uint32_t v)
{
    out.push_back((uint8_t)v);
    out.push_back((uint8_t)(v >> 8));
}

void put32(std::vector<uint8_t> &out, uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

void put_tag(std::vector<uint8_t> &out, const char *tag)
{
    out.insert(out.end(), tag, tag + 4);
}

} // namespace

std::vector<asio_driver_entry> asio_enumerate_drivers(bool wow64_32)
{
    std::vector<asio_driver_entry> entries;
    const REGSAM view = wow64_32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ | view, &root) != ERROR_SUCCESS) {
        return entries;
    }
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, name, 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
            continue;
        }
        asio_driver_entry entry;
        entry.name.assign(name, length);
        entry.clsid_text = read_text(key, L"CLSID");
        entry.description = read_text(key, L"Description");
        RegCloseKey(key);
        if (entry.description.empty()) {
            entry.description = entry.name;
        }
        if (!entry.clsid_text.empty() && CLSIDFromString(entry.clsid_text.c_str(), &entry.clsid) == S_OK) {
            entries.push_back(entry);
        }
    }
    RegCloseKey(root);
    return entries;
}

size_t asio_host::sample_bytes(ASIOSampleType type)
{
    switch (type) {
    case ASIOSTInt16LSB:
        return 2;
    case ASIOSTInt24LSB:
        return 3;
    case ASIOSTInt32LSB:
        return 4;
    default:
        return 0;
    }
}

// The top byte carries the channel number plus one (so silence never looks like signal), the
// bytes below it the frame counter, little-endian as the sample type lays it out.
void asio_host::encode_signal(ASIOSampleType type, int32_t channel, uint64_t frame, uint8_t *out)
{
    const size_t width = sample_bytes(type);
    for (size_t b = 0; b + 1 < width; ++b) {
        out[b] = (uint8_t)(frame >> (8 * b));
    }
    if (width != 0) {
        out[width - 1] = (uint8_t)((channel + 1) & 0x7F);
    }
}

asio_loopback_check asio_host::check_loopback(size_t input, size_t output) const
{
    asio_loopback_check check;
    std::lock_guard<std::mutex> guard(stream_lock_);
    if (input >= inputs_.size() || output >= outputs_.size() || inputs_[input].type != outputs_[output].type) {
        return check;
    }
    const ASIOSampleType type = outputs_[output].type;
    const size_t width = sample_bytes(type);
    if (width == 0) {
        return check;
    }
    const std::vector<uint8_t> &data = capture_[input];
    const uint8_t tag = (uint8_t)((outputs_[output].number + 1) & 0x7F);
    for (size_t at = width - 1; at < data.size() && !check.found; at += width) {
        check.found = data[at] == tag;
    }
    const int32_t channel = outputs_[output].number;
    const sim::clean_run run = check_clean_run(data, (ULONG)width, output_frame_, [type, channel](ULONGLONG k, UCHAR *out) {
        encode_signal(type, channel, k, out);
    });
    check.clean = check.found && run.clean;
    check.latency_frames = (int64_t)run.latency;
    check.frames_checked = run.frames;
    check.why = check.found ? run.why : "the signal never came back";
    return check;
}

bool asio_host::clean_run(std::string *why) const
{
    std::string fault;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (sessions_.size() != 1 || resets_ != 0) {
            fault = std::to_string(sessions_.size()) + " buffer sessions, " + std::to_string(resets_) + " resets";
        } else if (std::any_of(records_.begin(), records_.end(), [](const asio_callback_record &r) {
                       return r.kind == asio_callback_kind::asio_message && r.index == kAsioResetRequest;
                   })) {
            fault = "the driver asked for a reset";
        } else if (position_skips_ != 0 || outside_session_) {
            fault = std::to_string(position_skips_) + " switches skipped audio" +
                    (outside_session_ ? ", a callback came outside the session" : "");
        }
    }
    const size_t pairs = std::min(inputs().size(), outputs().size());
    int64_t latency = -1;
    for (size_t i = 0; i < pairs && fault.empty(); ++i) {
        const asio_loopback_check check = check_loopback(i, i);
        if (!check.clean) {
            fault = "input " + std::to_string(i) + ": " + check.why;
        } else if (latency >= 0 && check.latency_frames != latency) {
            fault = "input " + std::to_string(i) + " came back " + std::to_string(check.latency_frames) +
                    " frames late, input 0 " + std::to_string(latency);
        }
        latency = check.latency_frames;
    }
    if (fault.empty() && pairs == 0) {
        fault = "no input carries an output";
    }
    if (why != nullptr) {
        *why = fault;
    }
    return fault.empty();
}

bool asio_host::write_wav(const std::string &path) const
{
    std::vector<uint8_t> file;
    {
        std::lock_guard<std::mutex> guard(stream_lock_);
        if (inputs_.empty()) {
            return false;
        }
        const ASIOSampleType type = inputs_[0].type;
        const size_t width = sample_bytes(type);
        if (width == 0) {
            return false;
        }
        size_t frames = SIZE_MAX;
        for (size_t i = 0; i < inputs_.size(); ++i) {
            if (inputs_[i].type != type) {
                return false;
            }
            frames = std::min(frames, capture_[i].size() / width);
        }
        const uint32_t channels = (uint32_t)inputs_.size();
        const uint32_t rate = (uint32_t)sample_rate_;
        const uint32_t block = channels * (uint32_t)width;
        const uint32_t data_bytes = (uint32_t)(frames * block);
        // Plain PCM is enough for 16-bit mono or stereo; wider samples or more channels need the
        // extensible format so that readers take the valid bits and channel count as given.
        const bool extensible = width != 2 || channels > 2;
        const uint32_t fmt_bytes = extensible ? 40 : 16;
        put_tag(file, "RIFF");
        put32(file, 4 + (8 + fmt_bytes) + (8 + data_bytes));
        put_tag(file, "WAVE");
        put_tag(file, "fmt ");
        put32(file, fmt_bytes);
        put16(file, extensible ? 0xFFFE : 1);
        put16(file, channels);
        put32(file, rate);
        put32(file, rate * block);
        put16(file, block);
        put16(file, (uint32_t)width * 8);
        if (extensible) {
            put16(file, 22);
            put16(file, (uint32_t)width * 8);
            put32(file, channels < 32 ? (1u << channels) - 1 : 0);
            static const uint8_t pcm_subtype[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                    0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
            file.insert(file.end(), pcm_subtype, pcm_subtype + 16);
        }
        put_tag(file, "data");
        put32(file, data_bytes);
        for (size_t f = 0; f < frames; ++f) {
            for (size_t c = 0; c < channels; ++c) {
                const uint8_t *sample = capture_[c].data() + f * width;
                file.insert(file.end(), sample, sample + width);
            }
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(file.data()), (std::streamsize)file.size());
    return out.good();
}

std::vector<uint8_t> asio_host::captured(size_t i) const
{
    std::lock_guard<std::mutex> guard(stream_lock_);
    return i < capture_.size() ? capture_[i] : std::vector<uint8_t>{};
}

std::vector<asio_channel> asio_host::inputs() const
{
    std::lock_guard<std::mutex> guard(stream_lock_);
    return inputs_;
}

std::vector<asio_channel> asio_host::outputs() const
{
    std::lock_guard<std::mutex> guard(stream_lock_);
    return outputs_;
}

int32_t asio_host::buffer_size() const
{
    std::lock_guard<std::mutex> guard(stream_lock_);
    return buffer_size_;
}

double asio_host::sample_rate() const
{
    std::lock_guard<std::mutex> guard(stream_lock_);
    return sample_rate_;
}

std::vector<asio_session_record> asio_host::sessions() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return sessions_;
}

bool asio_host::output_ready_supported() const
{
    std::lock_guard<std::mutex> guard(stream_lock_);
    return output_ready_ == 1;
}

asio_host_state asio_host::state() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return state_;
}

std::string asio_host::error() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
}

std::string asio_host::driver_name() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return driver_name_;
}

int32_t asio_host::driver_version() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return driver_version_;
}

int32_t asio_host::input_latency() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return input_latency_;
}

int32_t asio_host::output_latency() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return output_latency_;
}

uint64_t asio_host::buffer_switches() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return switches_;
}

uint64_t asio_host::drop_outs() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return drop_outs_;
}

uint64_t asio_host::position_skips() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return position_skips_;
}

uint64_t asio_host::resets() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return resets_;
}

uint64_t asio_host::latency_changes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return latency_changes_;
}

std::vector<asio_callback_record> asio_host::records() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return {records_.begin(), records_.end()};
}

bool asio_host::callback_outside_session() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return outside_session_;
}

} // namespace sim

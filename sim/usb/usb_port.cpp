// A device's port on the simulated bus: URB dispatch, control transfers answered by the device
// model, configuration and interface selection with their pipe handles, and pipe requests.
#include "usb_port_state.h"

#include <wdm.h>

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

struct outcome {
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
};

outcome fail(USBD_STATUS usbd, NTSTATUS status) { return {usbd, status}; }

bool is_transfer(USHORT function)
{
    return function == URB_FUNCTION_ISOCH_TRANSFER || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
}

const interface_info *find_alternate(const std::vector<interface_info> &all, std::uint8_t number, std::uint8_t alt)
{
    for (const interface_info &i : all) {
        if (i.number == number && i.alternate_setting == alt) {
            return &i;
        }
    }
    return nullptr;
}

ULONG interface_information_size(std::size_t pipes)
{
    return static_cast<ULONG>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION));
}

// The bmRequestType of a class or vendor URB: type and recipient from the function, direction
// from the transfer flags.
std::optional<std::uint8_t> class_vendor_request_type(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_CLASS_DEVICE: return 0x20;
    case URB_FUNCTION_CLASS_INTERFACE: return 0x21;
    case URB_FUNCTION_CLASS_ENDPOINT: return 0x22;
    case URB_FUNCTION_CLASS_OTHER: return 0x23;
    case URB_FUNCTION_VENDOR_DEVICE: return 0x40;
    case URB_FUNCTION_VENDOR_INTERFACE: return 0x41;
    case URB_FUNCTION_VENDOR_ENDPOINT: return 0x42;
    case URB_FUNCTION_VENDOR_OTHER: return 0x43;
    default: return std::nullopt;
    }
}

} // namespace

struct port_request {
    usb_port::impl &port;
    usb_device &device;
    PURB urb;
    host_counters &counters;
    completion_list &done;

    outcome malformed()
    {
        ++counters.malformed_urbs;
        return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }

    // One control transfer on the default pipe; length is the data stage's size in and the
    // bytes moved out.
    outcome control(const setup_packet &setup, std::uint8_t *data, ULONG *length)
    {
        const control_outcome result =
            device.handle_control(setup, std::span<std::uint8_t>(data, data == nullptr ? 0 : *length));
        if (result.stall) {
            *length = 0;
            return fail(USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
        }
        *length = std::min<ULONG>(result.length, *length);
        return {};
    }

    // Control URBs with the common transfer prefix: the data stage is TransferBuffer(MDL).
    outcome data_control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index)
    {
        auto &c = urb->UrbControlVendorClassRequest;
        if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) ||
            c.TransferBufferLength > 0xFFFF) {
            return malformed();
        }
        bool ok = true;
        std::uint8_t *data = transfer_address(c.TransferBuffer, c.TransferBufferMDL, c.TransferBufferLength, ok);
        if (!ok) {
            return malformed();
        }
        setup_packet setup{request_type, request, value, index, static_cast<std::uint16_t>(c.TransferBufferLength)};
        return control(setup, data, &c.TransferBufferLength);
    }

    void drop_pipes(std::optional<std::uint8_t> interface_number)
    {
        for (auto it = port.pipes.begin(); it != port.pipes.end();) {
            if (!interface_number || it->second->interface_number == *interface_number) {
                counters.cancelled += it->second->queue.size();
                cancel_pipe(*it->second, done);
                it = port.pipes.erase(it);
            } else {
                ++it;
            }
        }
    }

    void fill_interface(USBD_INTERFACE_INFORMATION &info, const interface_info &alt)
    {
        info.Class = alt.interface_class;
        info.SubClass = alt.interface_subclass;
        info.Protocol = alt.interface_protocol;
        info.InterfaceHandle = port.new_handle();
        info.NumberOfPipes = static_cast<ULONG>(alt.endpoints.size());
        for (std::size_t i = 0; i < alt.endpoints.size(); ++i) {
            const endpoint_info &ep = alt.endpoints[i];
            USBD_PIPE_INFORMATION &p = info.Pipes[i];
            p.MaximumPacketSize = static_cast<USHORT>(ep.max_bytes_per_interval());
            p.EndpointAddress = ep.address;
            p.Interval = ep.interval;
            p.PipeType = static_cast<USBD_PIPE_TYPE>(ep.type());
            p.PipeHandle = port.new_handle();
            auto pipe = std::make_unique<usb_pipe>();
            pipe->endpoint = ep;
            pipe->interface_number = alt.number;
            pipe->handle = p.PipeHandle;
            port.pipes[reinterpret_cast<std::uintptr_t>(p.PipeHandle)] = std::move(pipe);
        }
    }

    outcome select_configuration()
    {
        auto &sc = urb->UrbSelectConfiguration;
        const ULONG header = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        if (urb->UrbHeader.Length < header) {
            return malformed();
        }
        ULONG none = 0;
        if (sc.ConfigurationDescriptor == nullptr) {
            drop_pipes(std::nullopt);
            port.configuration = nullptr;
            return control({0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0}, nullptr, &none);
        }
        if (port.fail_select_configuration > 0) {
            --port.fail_select_configuration;
            return fail(USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL);
        }
        const std::vector<interface_info> all = device.interfaces();
        std::vector<std::pair<USBD_INTERFACE_INFORMATION *, const interface_info *>> chosen;
        auto *base = reinterpret_cast<std::uint8_t *>(urb);
        for (ULONG at = header; at < urb->UrbHeader.Length;) {
            if (at + interface_information_size(0) > urb->UrbHeader.Length) {
                return malformed();
            }
            auto *info = reinterpret_cast<USBD_INTERFACE_INFORMATION *>(base + at);
            if (info->Length < interface_information_size(0) || at + info->Length > urb->UrbHeader.Length) {
                return malformed();
            }
            const interface_info *alt = find_alternate(all, info->InterfaceNumber, info->AlternateSetting);
            if (alt == nullptr) {
                return fail(USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER);
            }
            if (info->Length != interface_information_size(alt->endpoints.size())) {
                return malformed();
            }
            chosen.emplace_back(info, alt);
            at += info->Length;
        }
        if (chosen.empty()) {
            return malformed();
        }
        const std::uint8_t value = sc.ConfigurationDescriptor->bConfigurationValue;
        outcome result = control({0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0}, nullptr, &none);
        if (USBD_ERROR(result.usbd)) {
            return fail(USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL);
        }
        drop_pipes(std::nullopt);
        for (auto &[info, alt] : chosen) {
            if (alt->alternate_setting != 0) {
                result = control({0x01, USB_REQUEST_SET_INTERFACE, alt->alternate_setting, alt->number, 0}, nullptr, &none);
                if (USBD_ERROR(result.usbd)) {
                    drop_pipes(std::nullopt);
                    return fail(USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL);
                }
            }
            fill_interface(*info, *alt);
        }
        port.configuration = port.new_handle();
        sc.ConfigurationHandle = port.configuration;
        return {};
    }

    outcome select_interface()
    {
        auto &si = urb->UrbSelectInterface;
        const ULONG header = offsetof(struct _URB_SELECT_INTERFACE, Interface);
        if (urb->UrbHeader.Length < header + interface_information_size(0) ||
            si.Interface.Length != urb->UrbHeader.Length - header) {
            return malformed();
        }
        if (port.configuration == nullptr || si.ConfigurationHandle != port.configuration) {
            return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        const std::vector<interface_info> all = device.interfaces();
        const interface_info *alt = find_alternate(all, si.Interface.InterfaceNumber, si.Interface.AlternateSetting);
        if (alt == nullptr) {
            return fail(USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER);
        }
        if (si.Interface.Length != interface_information_size(alt->endpoints.size())) {
            return malformed();
        }
        if (port.fail_select_interface > 0) {
            --port.fail_select_interface;
            return fail(USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
        }
        ULONG none = 0;
        const outcome result =
            control({0x01, USB_REQUEST_SET_INTERFACE, alt->alternate_setting, alt->number, 0}, nullptr, &none);
        if (USBD_ERROR(result.usbd)) {
            return result;
        }
        drop_pipes(alt->number);
        fill_interface(si.Interface, *alt);
        return {};
    }

    usb_pipe *pipe_of(USBD_PIPE_HANDLE handle)
    {
        auto it = port.pipes.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == port.pipes.end()) {
            ++counters.invalid_pipe_handles;
            return nullptr;
        }
        return it->second.get();
    }

    outcome pipe_request()
    {
        if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
            return malformed();
        }
        usb_pipe *pipe = pipe_of(urb->UrbPipeRequest.PipeHandle);
        if (pipe == nullptr) {
            return fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        }
        const USHORT function = urb->UrbHeader.Function;
        if (function == URB_FUNCTION_ABORT_PIPE) {
            counters.cancelled += pipe->queue.size();
            cancel_pipe(*pipe, done);
            return {};
        }
        if (port.refuse_reset_while_pending && !pipe->queue.empty()) {
            return fail(USBD_STATUS_ERROR_BUSY, STATUS_DEVICE_BUSY);
        }
        if (function != URB_FUNCTION_SYNC_RESET_PIPE) {
            device.clear_halt(pipe->endpoint.address);
        }
        if (function != URB_FUNCTION_SYNC_CLEAR_STALL) {
            pipe->has_next = false;
        }
        return {};
    }

    outcome bulk(platform::usb_request request, std::uint64_t frames)
    {
        auto &b = urb->UrbBulkOrInterruptTransfer;
        if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
            return malformed();
        }
        usb_pipe *pipe = pipe_of(b.PipeHandle);
        if (pipe == nullptr) {
            return fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        }
        if (pipe->endpoint.type() != endpoint_type::bulk && pipe->endpoint.type() != endpoint_type::interrupt) {
            return malformed();
        }
        bool ok = true;
        std::uint8_t *data = transfer_address(b.TransferBuffer, b.TransferBufferMDL, b.TransferBufferLength, ok);
        if (!ok) {
            return malformed();
        }
        auto t = std::make_unique<usb_transfer>();
        t->urb = urb;
        t->request = request;
        t->in = pipe->endpoint.is_in();
        t->buffer = data;
        t->length = b.TransferBufferLength;
        t->due_frame = frames;
        t->waits_for_data = t->in;
        if (t->in) {
            b.TransferBufferLength = 0;
        }
        pipe->queue.push_back(std::move(t));
        return fail(USBD_STATUS_PENDING, STATUS_PENDING);
    }

    outcome descriptor(std::uint8_t recipient)
    {
        auto &d = urb->UrbControlDescriptorRequest;
        return data_control(static_cast<std::uint8_t>(0x80 | recipient), USB_REQUEST_GET_DESCRIPTOR,
                            static_cast<std::uint16_t>(d.DescriptorType << 8 | d.Index), d.LanguageId);
    }

    outcome feature(std::uint8_t recipient, bool set)
    {
        auto &f = urb->UrbControlFeatureRequest;
        if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_FEATURE_REQUEST)) {
            return malformed();
        }
        ULONG none = 0;
        return control({recipient, static_cast<std::uint8_t>(set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE),
                        f.FeatureSelector, f.Index, 0},
                       nullptr, &none);
    }

    outcome raw_control()
    {
        auto &c = urb->UrbControlTransfer;
        if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_TRANSFER)) {
            return malformed();
        }
        setup_packet setup{c.SetupPacket[0], c.SetupPacket[1],
                           static_cast<std::uint16_t>(c.SetupPacket[2] | c.SetupPacket[3] << 8),
                           static_cast<std::uint16_t>(c.SetupPacket[4] | c.SetupPacket[5] << 8),
                           static_cast<std::uint16_t>(c.SetupPacket[6] | c.SetupPacket[7] << 8)};
        if (setup.wLength > c.TransferBufferLength) {
            return malformed();
        }
        bool ok = true;
        std::uint8_t *data = transfer_address(c.TransferBuffer, c.TransferBufferMDL, c.TransferBufferLength, ok);
        if (!ok) {
            return malformed();
        }
        c.TransferBufferLength = setup.wLength;
        return control(setup, data, &c.TransferBufferLength);
    }

    outcome dispatch(platform::usb_request request, std::uint64_t frames, const host_controller_options &options)
    {
        const USHORT function = urb->UrbHeader.Function;
        if (auto type = class_vendor_request_type(function)) {
            auto &c = urb->UrbControlVendorClassRequest;
            const bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            return data_control(static_cast<std::uint8_t>(*type | (in ? 0x80 : 0) | c.RequestTypeReservedBits),
                                c.Request, c.Value, c.Index);
        }
        switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return select_configuration();
        case URB_FUNCTION_SELECT_INTERFACE:
            return select_interface();
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return pipe_request();
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
                return malformed();
            }
            urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(options.start_frame + frames);
            return {};
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return descriptor(0);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
            return descriptor(1);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
            return descriptor(2);
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
            return data_control(0x80, USB_REQUEST_GET_STATUS, 0, urb->UrbControlGetStatusRequest.Index);
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
            return data_control(0x81, USB_REQUEST_GET_STATUS, 0, urb->UrbControlGetStatusRequest.Index);
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
            return data_control(0x82, USB_REQUEST_GET_STATUS, 0, urb->UrbControlGetStatusRequest.Index);
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
            return data_control(0x83, USB_REQUEST_GET_STATUS, 0, urb->UrbControlGetStatusRequest.Index);
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE: return feature(0, true);
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE: return feature(1, true);
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT: return feature(2, true);
        case URB_FUNCTION_SET_FEATURE_TO_OTHER: return feature(3, true);
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: return feature(0, false);
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE: return feature(1, false);
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: return feature(2, false);
        case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: return feature(3, false);
        case URB_FUNCTION_GET_CONFIGURATION:
            return data_control(0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0);
        case URB_FUNCTION_GET_INTERFACE:
            return data_control(0x81, USB_REQUEST_GET_INTERFACE, 0, urb->UrbControlGetInterfaceRequest.Interface);
        case URB_FUNCTION_CONTROL_TRANSFER:
            return raw_control();
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return bulk(request, frames);
        case URB_FUNCTION_ISOCH_TRANSFER: {
            if (urb->UrbHeader.Length < offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket)) {
                return malformed();
            }
            usb_pipe *pipe = pipe_of(urb->UrbIsochronousTransfer.PipeHandle);
            if (pipe == nullptr) {
                return fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
            }
            const NTSTATUS status = submit_iso(port, *pipe, urb, request, frames, options, counters);
            return {urb->UrbHeader.Status, status};
        }
        default:
            ++counters.unsupported_urbs;
            return fail(USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
        }
    }
};

usb_port::usb_port(host_controller &bus, std::shared_ptr<usb_device> device)
    : bus_(bus), device_(std::move(device)), impl_(std::make_unique<impl>())
{
    impl_->high_speed = device_->speed() == usb_speed::high;
    std::uint8_t descriptor[18] = {};
    const control_outcome read =
        device_->handle_control({0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, sizeof(descriptor)}, descriptor);
    if (!read.stall && read.length >= 4) {
        impl_->bcd_usb = static_cast<std::uint16_t>(descriptor[2] | descriptor[3] << 8);
    }
}

usb_port::~usb_port() = default;

NTSTATUS usb_port::submit(PURB urb, platform::usb_request request)
{
    if (urb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    completion_list done;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard guard(bus_.lock_);
        host_counters &counters = bus_.counters_;
        if (urb->UrbHeader.Length < sizeof(struct _URB_HEADER)) {
            ++counters.malformed_urbs;
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
            return STATUS_INVALID_PARAMETER;
        }
        if (!impl_->present || !device_->connected()) {
            ++counters.device_gone;
            urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        port_request r{*impl_, *device_, urb, counters, done};
        const outcome result = r.dispatch(request, bus_.frames_, bus_.options_);
        urb->UrbHeader.Status = result.usbd;
        status = result.status;
        if (status != STATUS_PENDING && impl_->defer_control && !is_transfer(urb->UrbHeader.Function)) {
            auto t = std::make_unique<usb_transfer>();
            t->urb = urb;
            t->request = request;
            t->due_frame = bus_.frames_;
            t->deferred_status = status;
            impl_->deferred.push_back(std::move(t));
            status = STATUS_PENDING;
        }
    }
    bus_.deliver(done);
    return status;
}

void usb_port::cancel(platform::usb_request request)
{
    completion_list done;
    {
        std::lock_guard guard(bus_.lock_);
        for (auto &[handle, pipe] : impl_->pipes) {
            for (auto it = pipe->queue.begin(); it != pipe->queue.end(); ++it) {
                if ((*it)->request == request) {
                    (*it)->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
                    done.emplace_back(request, STATUS_CANCELLED);
                    pipe->queue.erase(it);
                    if (pipe->queue.empty()) {
                        pipe->has_next = false;
                    }
                    break;
                }
            }
        }
        bus_.counters_.cancelled += done.size();
    }
    bus_.deliver(done);
}

ULONG usb_port::current_frame() const { return bus_.current_frame(); }

bool usb_port::is_high_speed() const { return impl_->high_speed; }

bool usb_port::is_connected() const
{
    std::lock_guard guard(bus_.lock_);
    return impl_->present && device_->connected();
}

bool usb_port::completes_inline(USHORT function) const
{
    std::lock_guard guard(bus_.lock_);
    return !is_transfer(function) && !impl_->defer_control;
}

void usb_port::fail_transfers(std::uint8_t address, int count)
{
    std::lock_guard guard(bus_.lock_);
    impl_->fail_transfers[address] = count;
}

void usb_port::fail_select_configuration(int count)
{
    std::lock_guard guard(bus_.lock_);
    impl_->fail_select_configuration = count;
}

void usb_port::fail_select_interface(int count)
{
    std::lock_guard guard(bus_.lock_);
    impl_->fail_select_interface = count;
}

void usb_port::refuse_reset_while_pending(bool refuse)
{
    std::lock_guard guard(bus_.lock_);
    impl_->refuse_reset_while_pending = refuse;
}

void usb_port::defer_control_requests(bool defer)
{
    std::lock_guard guard(bus_.lock_);
    impl_->defer_control = defer;
}

} // namespace sim

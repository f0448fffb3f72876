// Isochronous transfers on the simulated bus: URB validation, the start-frame schedule of a
// pipe, and the packets each frame sends to or takes from the device.
#include "usb_port_state.h"

#include <wdm.h>

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

NTSTATUS refuse(PURB urb, USBD_STATUS usbd, NTSTATUS status)
{
    urb->UrbHeader.Status = usbd;
    return status;
}

NTSTATUS malformed(PURB urb, host_counters &counters)
{
    ++counters.malformed_urbs;
    return refuse(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
}

USBD_STATUS packet_usbd_status(packet_status status)
{
    switch (status) {
    case packet_status::ok:
        return USBD_STATUS_SUCCESS;
    case packet_status::error:
        return USBD_STATUS_ISO_TD_ERROR;
    case packet_status::stall:
        return USBD_STATUS_STALL_PID;
    case packet_status::no_response:
        return USBD_STATUS_DEV_NOT_RESPONDING;
    }
    return USBD_STATUS_ISO_TD_ERROR;
}

constexpr ULONG max_iso_packets = 1024;

} // namespace

std::uint8_t *transfer_address(PVOID buffer, PMDL mdl, ULONG length, bool &ok)
{
    ok = true;
    if (buffer != nullptr) {
        return static_cast<std::uint8_t *>(buffer);
    }
    if (mdl != nullptr && MmGetMdlByteCount(mdl) >= length) {
        // The stand-in's MDLs describe memory of the one address space; a mapped MDL gives its
        // system address, any other its virtual address.
        if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
            return static_cast<std::uint8_t *>(mdl->MappedSystemVa);
        }
        return static_cast<std::uint8_t *>(MmGetMdlVirtualAddress(mdl));
    }
    ok = length == 0;
    return nullptr;
}

std::uint64_t iso_period(const endpoint_info &endpoint, bool high_speed, std::uint16_t bcd_usb)
{
    const unsigned interval = std::clamp<unsigned>(endpoint.interval, 1, 16);
    if (high_speed) {
        return std::uint64_t{1} << (interval - 1);
    }
    return bcd_usb >= 0x0200 ? std::uint64_t{8} << (interval - 1) : 8;
}

NTSTATUS submit_iso(usb_port::impl &port, usb_pipe &pipe, PURB urb, platform::usb_request request,
                    std::uint64_t frames, const host_controller_options &options, host_counters &counters)
{
    auto &iso = urb->UrbIsochronousTransfer;
    const ULONG packets = iso.NumberOfPackets;
    if (urb->UrbHeader.Length < offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) || packets == 0 ||
        packets > max_iso_packets ||
        urb->UrbHeader.Length < offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
        return malformed(urb, counters);
    }
    if (pipe.endpoint.type() != endpoint_type::isochronous) {
        return malformed(urb, counters);
    }
    const unsigned interval = std::clamp<unsigned>(pipe.endpoint.interval, 1, 16);
    if (port.high_speed && interval <= 4 && packets % (8u >> (interval - 1)) != 0) {
        return malformed(urb, counters);
    }
    bool ok = true;
    std::uint8_t *buffer = transfer_address(iso.TransferBuffer, iso.TransferBufferMDL, iso.TransferBufferLength, ok);
    if (!ok) {
        return malformed(urb, counters);
    }

    auto transfer = std::make_unique<usb_transfer>();
    transfer->urb = urb;
    transfer->request = request;
    transfer->iso = true;
    transfer->in = pipe.endpoint.is_in();
    transfer->buffer = buffer;
    transfer->length = iso.TransferBufferLength;
    transfer->packets = packets;
    transfer->period = iso_period(pipe.endpoint, port.high_speed, port.bcd_usb);
    transfer->sizes.resize(packets);
    const ULONG max_packet = pipe.endpoint.max_bytes_per_interval();
    const ULONG total = iso.TransferBufferLength;
    for (ULONG i = 0; i < packets; ++i) {
        const ULONG offset = iso.IsoPacket[i].Offset;
        const ULONG next = i + 1 < packets ? iso.IsoPacket[i + 1].Offset : total;
        if (transfer->in) {
            // An IN packet's room ends at the next packet or at the buffer end, whichever is
            // first; a packet placed at or past the end gets none.
            if (i + 1 < packets && next < offset) {
                return malformed(urb, counters);
            }
            const ULONG end = std::min(next, total);
            transfer->sizes[i] = offset >= end ? 0 : std::min(end - offset, max_packet);
        } else {
            if (offset > total || next < offset || next > total || next - offset > max_packet) {
                return malformed(urb, counters);
            }
            transfer->sizes[i] = next - offset;
        }
    }

    const std::uint64_t now = frames * 8;
    std::uint64_t start = 0;
    if ((iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) != 0) {
        start = pipe.has_next && pipe.next >= now ? pipe.next : (frames + options.asap_latency) * 8;
    } else {
        const ULONG current = static_cast<ULONG>(options.start_frame + frames);
        const LONG delta = static_cast<LONG>(iso.StartFrame - current);
        start = (frames + static_cast<std::uint64_t>(delta)) * 8;
        if (delta <= 0 || delta > USBD_ISO_START_FRAME_RANGE || (!pipe.queue.empty() && start < pipe.next)) {
            ++counters.bad_start_frames;
            return refuse(urb, USBD_STATUS_BAD_START_FRAME, STATUS_UNSUCCESSFUL);
        }
    }
    transfer->start = start;
    pipe.next = (start + packets * transfer->period + 7) / 8 * 8;
    pipe.has_next = true;
    iso.StartFrame = static_cast<ULONG>(options.start_frame + start / 8);
    iso.ErrorCount = 0;
    for (ULONG i = 0; i < packets; ++i) {
        iso.IsoPacket[i].Status = USBD_STATUS_NOT_ACCESSED;
        if (transfer->in) {
            iso.IsoPacket[i].Length = 0;
        }
    }
    auto failing = port.fail_transfers.find(pipe.endpoint.address);
    if (failing != port.fail_transfers.end() && failing->second > 0) {
        transfer->forced_failure = true;
        --failing->second;
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    pipe.queue.push_back(std::move(transfer));
    return STATUS_PENDING;
}

namespace {

void run_packet(usb_transfer &t, usb_pipe &pipe, usb_device &device, std::uint64_t microframe, bool missed,
                host_counters &counters)
{
    auto &iso = t.urb->UrbIsochronousTransfer;
    USBD_ISO_PACKET_DESCRIPTOR &packet = iso.IsoPacket[t.next_packet];
    const ULONG size = t.sizes[t.next_packet];
    ++counters.iso_packets;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (missed) {
        ++counters.late_packets;
        status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
    } else if (t.forced_failure) {
        status = USBD_STATUS_ISO_TD_ERROR;
    } else if (t.in) {
        std::span<std::uint8_t> room = size == 0 ? std::span<std::uint8_t>()
                                                 : std::span<std::uint8_t>(t.buffer + packet.Offset, size);
        const iso_in_result result = device.iso_in(pipe.endpoint.address, microframe, room);
        status = packet_usbd_status(result.status);
        packet.Length = std::min<ULONG>(result.length, size);
        t.received += packet.Length;
    } else {
        std::span<const std::uint8_t> data = size == 0 ? std::span<const std::uint8_t>()
                                                       : std::span<const std::uint8_t>(t.buffer + packet.Offset, size);
        status = packet_usbd_status(device.iso_out(pipe.endpoint.address, microframe, data));
    }
    if (USBD_ERROR(status)) {
        ++t.errors;
        if (t.in) {
            packet.Length = 0;
        }
    }
    packet.Status = status;
    ++t.next_packet;
}

void finish_iso(usb_transfer &t, host_counters &counters, completion_list &done)
{
    auto &iso = t.urb->UrbIsochronousTransfer;
    iso.ErrorCount = t.errors;
    if (t.in) {
        iso.TransferBufferLength = t.received;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (t.errors == t.packets) {
        t.urb->UrbHeader.Status = USBD_STATUS_ISOCH_REQUEST_FAILED;
        status = STATUS_UNSUCCESSFUL;
    } else {
        t.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    }
    ++counters.completed;
    done.emplace_back(t.request, status);
}

} // namespace

void run_port_frame(usb_port::impl &port, usb_device &device, std::uint64_t frame, bool missed,
                    ULONG start_frame, host_counters &counters, completion_list &done)
{
    (void)start_frame;
    const std::uint64_t begin = frame * 8;
    const std::uint64_t end = begin + 8;
    for (std::uint64_t microframe = begin; microframe < end; ++microframe) {
        for (auto &[handle, pipe] : port.pipes) {
            for (auto &t : pipe->queue) {
                if (!t->iso || t->next_packet >= t->packets) {
                    continue;
                }
                if (t->start + t->next_packet * t->period > microframe) {
                    break;
                }
                while (t->next_packet < t->packets && t->start + t->next_packet * t->period <= microframe) {
                    run_packet(*t, *pipe, device, microframe, missed, counters);
                }
            }
        }
    }
    device.advance(end);

    for (auto &[handle, pipe] : port.pipes) {
        for (auto it = pipe->queue.begin(); it != pipe->queue.end();) {
            usb_transfer &t = **it;
            if (t.iso && t.next_packet >= t.packets) {
                finish_iso(t, counters, done);
                it = pipe->queue.erase(it);
            } else if (!t.iso && !t.waits_for_data && t.due_frame <= frame) {
                t.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
                ++counters.completed;
                done.emplace_back(t.request, STATUS_SUCCESS);
                it = pipe->queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    while (!port.deferred.empty() && port.deferred.front()->due_frame <= frame) {
        ++counters.completed;
        done.emplace_back(port.deferred.front()->request, port.deferred.front()->deferred_status);
        port.deferred.pop_front();
    }
}

void cancel_pipe(usb_pipe &pipe, completion_list &done)
{
    for (auto &t : pipe.queue) {
        t->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        done.emplace_back(t->request, STATUS_CANCELLED);
    }
    pipe.queue.clear();
    pipe.has_next = false;
}

void fail_all_requests(usb_port::impl &port, USBD_STATUS usbd, NTSTATUS status, completion_list &done)
{
    for (auto &[handle, pipe] : port.pipes) {
        for (auto &t : pipe->queue) {
            t->urb->UrbHeader.Status = usbd;
            done.emplace_back(t->request, status);
        }
        pipe->queue.clear();
        pipe->has_next = false;
    }
    for (auto &t : port.deferred) {
        t->urb->UrbHeader.Status = usbd;
        done.emplace_back(t->request, status);
    }
    port.deferred.clear();
}

} // namespace sim

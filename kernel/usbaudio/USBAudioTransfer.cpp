// CUSBAudioCL data transfers: render transfer sizing and building (from feedback, from the
// packet pattern, or from the captured amount in implicit-feedback mode, with the length-
// prefixed variant of the quirk device) and capture submissions.
#include "USBAudioCL.h"
#include "PacketPatternTable.h"
#include "UsbAudioPoolTags.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

namespace {

constexpr ULONG LENGTH_PREFIX_BYTES = 4;
constexpr ULONG RENDER_ASAP_FLAGS = USBD_TRANSFER_DIRECTION_OUT | USBD_START_ISO_TRANSFER_ASAP;

// How the packets of one render transfer are sized.
enum class RENDER_LAYOUT { Implicit, Feedback, FeedbackPadded, Pattern, LengthPrefixed };

struct RENDER_PLAN {
    RENDER_LAYOUT Layout;
    ULONG Packets;
    // Implicit-feedback mode: maximum, then nominal, then minimum packets.
    ULONG MaximumCount;
    ULONG NominalCount;
    ULONG MinimumCount;
    ULONG FeedbackValue;
};

ULONG PatternEntry(const PACKET_PATTERN_ROW *row, BOOLEAN highSpeed, ULONG position)
{
    ULONG cycle = highSpeed ? row->HighSpeedCycle : row->FullSpeedCycle;
    const ULONG *entries = highSpeed ? row->HighSpeedEntries : row->FullSpeedEntries;
    return cycle != 0 ? entries[position % cycle] : 0;
}

ULONG NextPatternPosition(const PACKET_PATTERN_ROW *row, BOOLEAN highSpeed, ULONG position)
{
    ULONG cycle = highSpeed ? row->HighSpeedCycle : row->FullSpeedCycle;
    return cycle != 0 ? (position + 1) % cycle : 0;
}

ULONG RoundUp(ULONG value, ULONG multiple)
{
    return (value + multiple - 1) / multiple * multiple;
}

} // namespace

ULONG CUSBAudioCL::GetRenderBytesPerTransfer(ULONG msPerTransfer, ULONG feedbackValue)
{
    USB_STREAMING_INTERFACE *record = m_pRender;
    if (record == nullptr || record->BytesPerFrame == 0) {
        return 0;
    }
    ULONGLONG steps = m_HighSpeed ? static_cast<ULONGLONG>(msPerTransfer) * 8 : msPerTransfer;
    ULONGLONG frames = 0;
    if (record->FeedbackPipe != nullptr) {
        frames = (record->FeedbackCarry + steps * feedbackValue) >> 16;
    } else if (m_pPatternRow != nullptr) {
        ULONG position = m_PatternPosition;
        for (ULONGLONG i = 0; i < steps; ++i) {
            frames += PatternEntry(m_pPatternRow, m_HighSpeed, position);
            position = NextPatternPosition(m_pPatternRow, m_HighSpeed, position);
        }
    }
    ULONGLONG bytes = frames * record->BytesPerFrame;
    return bytes > MAXULONG ? MAXULONG : static_cast<ULONG>(bytes);
}

NTSTATUS CUSBAudioCL::SubmitRenderTransfer(PMDL mdl, ULONG bytes, ULONG msPerTransfer,
                                           PUSB_COMPLETION_CALLBACK callback, PVOID clientContext)
{
    return SubmitRender(mdl, bytes, msPerTransfer, callback, clientContext, RENDER_ASAP_FLAGS, 0);
}

NTSTATUS CUSBAudioCL::SubmitRenderTransferSynced(PMDL mdl, ULONG bytes, ULONG msPerTransfer,
                                                 PUSB_COMPLETION_CALLBACK callback, PVOID clientContext,
                                                 ULONG startFrame)
{
    return SubmitRender(mdl, bytes, msPerTransfer, callback, clientContext, USBD_TRANSFER_DIRECTION_OUT, startFrame);
}

// Plans the packets first and touches no pool until the plan fits one pooled URB.
NTSTATUS CUSBAudioCL::SubmitRender(PMDL mdl, ULONG bytes, ULONG msPerTransfer, PUSB_COMPLETION_CALLBACK callback,
                                   PVOID clientContext, ULONG transferFlags, ULONG startFrame)
{
    USB_STREAMING_INTERFACE *record = m_pRender;
    if (record == nullptr || record->DataPipe == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    const ULONG b = record->BytesPerFrame;
    if (mdl == nullptr || bytes == 0 || callback == nullptr || b == 0 || msPerTransfer == 0 ||
        msPerTransfer > USBCL_MAX_ISOCH_PACKETS) {
        return STATUS_INVALID_PARAMETER;
    }
    // Steps are (micro)frames; a packet spans P of them at high speed and one at full speed.
    const ULONG p = m_HighSpeed && m_RenderPacketInterval >= 1 && m_RenderPacketInterval <= 8 ? m_RenderPacketInterval : 1;
    const ULONG padMultiple = m_HighSpeed ? 8 / p : 1;
    const BOOLEAN implicit = IsImplicitFeedbackMode();
    const BOOLEAN prefixed = HasLengthPrefixedRender();
    NTSTATUS status = STATUS_SUCCESS;
    RENDER_PLAN plan = {};

    if (implicit) {
        // A length-prefixed device cannot take unprefixed packets, and its prefixes are laid
        // out from the pattern, which does not follow the captured amount.
        const ULONG n = record->NominalPacketBytes;
        const ULONG count = m_HighSpeed ? msPerTransfer * 8 / p : msPerTransfer;
        plan.Layout = RENDER_LAYOUT::Implicit;
        if (prefixed) {
            status = STATUS_NOT_SUPPORTED;
        } else if (n == 0) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            LONGLONG d = (static_cast<LONGLONG>(bytes) - static_cast<LONGLONG>(count) * n) / static_cast<LONGLONG>(b);
            if (d < 0 && d >= -static_cast<LONGLONG>(count) && record->ExactRate) {
                plan.NominalCount = static_cast<ULONG>(count + d);
                plan.MinimumCount = static_cast<ULONG>(-d);
            } else if (d >= 1 && d <= static_cast<LONGLONG>(count) && record->MaximumPacketBytes > n) {
                plan.MaximumCount = static_cast<ULONG>(d);
                plan.NominalCount = static_cast<ULONG>(count - d);
            } else {
                ULONGLONG nominal = (static_cast<ULONGLONG>(bytes) + n - 1) / n;
                plan.NominalCount = nominal > USBCL_MAX_ISOCH_PACKETS + 1 ? USBCL_MAX_ISOCH_PACKETS + 1
                                                                          : static_cast<ULONG>(nominal);
            }
            plan.Packets = plan.MaximumCount + plan.NominalCount + plan.MinimumCount;
            ULONG padded = RoundUp(plan.Packets, padMultiple);
            plan.MinimumCount += padded - plan.Packets;
            plan.Packets = padded;
        }
    } else if (record->FeedbackPipe != nullptr) {
        KLOCK_QUEUE_HANDLE lockHandle;
        KeAcquireInStackQueuedSpinLock(&record->FeedbackLock, &lockHandle);
        plan.FeedbackValue = record->FeedbackValueInUse;
        KeReleaseInStackQueuedSpinLock(&lockHandle);
        plan.Layout = RENDER_LAYOUT::Feedback;
        // The count stops as soon as it leaves the URB: a value of 0 or a tiny one would
        // otherwise take steps without end.
        ULONGLONG sum = 0;
        ULONGLONG carry = record->FeedbackCarry;
        for (ULONG step = 0; sum < bytes && plan.Packets <= USBCL_MAX_ISOCH_PACKETS; ++step) {
            plan.Packets += step % p == 0 ? 1 : 0;
            ULONGLONG total = plan.FeedbackValue + carry;
            sum += static_cast<ULONGLONG>(b) * (total >> 16);
            carry = total & 0xFFFF;
        }
        ULONG padded = RoundUp(plan.Packets, padMultiple);
        if (padded != plan.Packets) {
            plan.Layout = RENDER_LAYOUT::FeedbackPadded;
            plan.Packets = padded;
        }
    } else if (m_pPatternRow != nullptr) {
        plan.Layout = prefixed ? RENDER_LAYOUT::LengthPrefixed : RENDER_LAYOUT::Pattern;
        const ULONG stepsPerPacket = prefixed ? 1 : p;
        ULONGLONG sum = 0;
        ULONG position = m_PatternPosition;
        BOOLEAN progress = TRUE;
        for (ULONG step = 0; sum < bytes && progress && plan.Packets <= USBCL_MAX_ISOCH_PACKETS; ++step) {
            plan.Packets += step % stepsPerPacket == 0 ? 1 : 0;
            ULONG entry = PatternEntry(m_pPatternRow, m_HighSpeed, position);
            sum += static_cast<ULONGLONG>(b) * entry;
            position = NextPatternPosition(m_pPatternRow, m_HighSpeed, position);
            progress = entry != 0 || step < USBCL_MAX_ISOCH_PACKETS * 8;
        }
        plan.Packets = sum < bytes ? USBCL_MAX_ISOCH_PACKETS + 1 : RoundUp(plan.Packets, padMultiple);
    } else {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    if (NT_SUCCESS(status) && (plan.Packets == 0 || plan.Packets > USBCL_MAX_ISOCH_PACKETS)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "render transfer of %lu bytes needs %lu packets\n",
                    bytes, plan.Packets);
        status = STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    USB_TRANSFER_CONTEXT *context = AllocateContext();
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->Callback = callback;
    context->ClientContext = clientContext;
    context->Pipe = record->DataPipe;
    const ULONG prefixBytes = LENGTH_PREFIX_BYTES * plan.Packets;
    if (plan.Layout == RENDER_LAYOUT::LengthPrefixed) {
        if (bytes > MAXULONG - prefixBytes) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            context->BounceBuffer = ExAllocatePoolWithTag(PoolType(), bytes + prefixBytes, USBAUDIO_BOUNCE_TAG);
            context->BounceLength = prefixBytes;
            status = context->BounceBuffer != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        }
    } else if (prefixed) {
        // The quirk device with a feedback pipe: its packets cannot be prefixed here.
        status = STATUS_UNSUCCESSFUL;
    }
    PURB urb = NT_SUCCESS(status) ? AllocateIsochUrb() : nullptr;
    if (NT_SUCCESS(status) && urb == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    PUCHAR audio = nullptr;
    if (NT_SUCCESS(status) && plan.Layout == RENDER_LAYOUT::LengthPrefixed) {
        audio = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, MdlPriority()));
        if (audio == nullptr || MmGetMdlByteCount(mdl) < bytes) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (!NT_SUCCESS(status)) {
        if (urb != nullptr) {
            FreeIsochUrb(urb);
        }
        FreeContext(context);
        return status;
    }

    ULONG urbLength = static_cast<ULONG>(GET_ISO_URB_SIZE(plan.Packets));
    RtlZeroMemory(urb, urbLength);
    struct _URB_ISOCH_TRANSFER &iso = urb->UrbIsochronousTransfer;
    urb->UrbHeader.Length = static_cast<USHORT>(urbLength);
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = record->DataPipe->PipeHandle;
    iso.TransferFlags = transferFlags;
    iso.StartFrame = startFrame;
    iso.NumberOfPackets = plan.Packets;
    if (plan.Layout == RENDER_LAYOUT::LengthPrefixed) {
        iso.TransferBuffer = context->BounceBuffer;
        iso.TransferBufferLength = bytes + prefixBytes;
    } else {
        iso.TransferBufferMDL = mdl;
        iso.TransferBufferLength = bytes;
    }

    ULONG offset = 0;
    ULONG left = bytes;
    switch (plan.Layout) {
    case RENDER_LAYOUT::Implicit:
        for (ULONG i = 0; i < plan.Packets; ++i) {
            ULONG size = i < plan.MaximumCount                         ? record->MaximumPacketBytes
                         : i < plan.MaximumCount + plan.NominalCount ? record->NominalPacketBytes
                                                                       : record->MinimumPacketBytes;
            size = size < left ? size : left;
            iso.IsoPacket[i].Offset = offset;
            iso.IsoPacket[i].Length = size;
            offset += size;
            left -= size;
        }
        break;
    case RENDER_LAYOUT::FeedbackPadded: {
        // Frames spread evenly; an OUT packet's size follows from the next Offset.
        ULONG frames = bytes / b;
        for (ULONG i = 0; i < plan.Packets; ++i) {
            ULONG size = (frames / plan.Packets + (i < frames % plan.Packets ? 1 : 0)) * b;
            size = size < left ? size : left;
            iso.IsoPacket[i].Offset = offset;
            offset += size;
            left -= size;
        }
        break;
    }
    case RENDER_LAYOUT::Feedback: {
        ULONG carry = record->FeedbackCarry;
        for (ULONG i = 0; i < plan.Packets; ++i) {
            ULONG size = 0;
            for (ULONG step = 0; step < p && left != 0; ++step) {
                ULONGLONG total = static_cast<ULONGLONG>(plan.FeedbackValue) + carry;
                ULONGLONG want = static_cast<ULONGLONG>(b) * (total >> 16);
                ULONG take = want < left ? static_cast<ULONG>(want) : left;
                carry = static_cast<ULONG>(total & 0xFFFF);
                size += take;
                left -= take;
            }
            iso.IsoPacket[i].Offset = offset;
            iso.IsoPacket[i].Length = size;
            offset += size;
            record->FeedbackCarry = carry;
        }
        break;
    }
    case RENDER_LAYOUT::Pattern: {
        ULONG position = m_PatternPosition;
        for (ULONG i = 0; i < plan.Packets; ++i) {
            ULONG size = 0;
            for (ULONG step = 0; step < p && left != 0; ++step) {
                ULONGLONG want = static_cast<ULONGLONG>(b) * PatternEntry(m_pPatternRow, m_HighSpeed, position);
                ULONG take = want < left ? static_cast<ULONG>(want) : left;
                position = NextPatternPosition(m_pPatternRow, m_HighSpeed, position);
                size += take;
                left -= take;
            }
            iso.IsoPacket[i].Offset = offset;
            iso.IsoPacket[i].Length = size;
            offset += size;
        }
        m_PatternPosition = position;
        break;
    }
    case RENDER_LAYOUT::LengthPrefixed: {
        // Every packet is a 32-bit little-endian count and that many audio bytes. Packets
        // past the audio are 4-byte prefixes of 0 and still take their place in the pattern.
        PUCHAR out = static_cast<PUCHAR>(context->BounceBuffer);
        ULONG room = bytes + prefixBytes;
        for (ULONG i = 0; i < plan.Packets; ++i) {
            iso.IsoPacket[i].Offset = offset;
            if (room - offset < LENGTH_PREFIX_BYTES) {
                continue;
            }
            ULONGLONG want = static_cast<ULONGLONG>(b) * PatternEntry(m_pPatternRow, m_HighSpeed, m_PatternPosition);
            ULONG n = want < left ? static_cast<ULONG>(want) : left;
            UsbWriteLe32(out + offset, n);
            RtlCopyMemory(out + offset + LENGTH_PREFIX_BYTES, audio + (bytes - left), n);
            iso.IsoPacket[i].Length = n + LENGTH_PREFIX_BYTES;
            offset += n + LENGTH_PREFIX_BYTES;
            left -= n;
            m_PatternPosition = NextPatternPosition(m_pPatternRow, m_HighSpeed, m_PatternPosition);
        }
        break;
    }
    }

    context->Urb = urb;
    status = SubmitUrbAsync(urb, context);
    if (!NT_SUCCESS(status)) {
        context->Urb = nullptr;
        FreeIsochUrb(urb);
        FreeContext(context);
    }
    return status;
}

NTSTATUS CUSBAudioCL::SubmitCaptureTransfer(PVOID buffer, ULONG length, PUSB_COMPLETION_CALLBACK callback,
                                            PVOID clientContext, ULONG startFrame)
{
    if (m_pCapture == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pCapture->DataPipe == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    return SubmitIsochIn(m_pCapture->DataPipe, buffer, length, callback, clientContext, startFrame);
}

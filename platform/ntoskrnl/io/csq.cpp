// The cancel-safe queue: the driver supplies the queue and its lock; these routines own the
// cancel routine, so that an IRP is either removed by the driver or completed as cancelled,
// never both. The queue (or the caller's context) is kept in DriverContext[3].
#include "io_internal.h"

namespace {

// Clears the IRP's link to the queue; the queue lock is held.
void unlink(PIRP irp)
{
    auto context = static_cast<PIO_CSQ_IRP_CONTEXT>(irp->Tail.Overlay.DriverContext[3]);
    if (context != nullptr && context->Type == IO_TYPE_CSQ_IRP_CONTEXT) {
        context->Irp = nullptr;
    }
    irp->Tail.Overlay.DriverContext[3] = nullptr;
}

PIO_CSQ queue_of(PIRP irp)
{
    auto context = static_cast<PIO_CSQ_IRP_CONTEXT>(irp->Tail.Overlay.DriverContext[3]);
    if (context->Type == IO_TYPE_CSQ_IRP_CONTEXT) {
        return context->Csq;
    }
    return reinterpret_cast<PIO_CSQ>(context);
}

VOID csq_cancel_routine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PIO_CSQ csq = queue_of(irp);
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    csq->CsqRemoveIrp(csq, irp);
    unlink(irp);
    csq->CsqReleaseLock(csq, irql);
    csq->CsqCompleteCanceledIrp(csq, irp);
}

NTSTATUS initialize(PIO_CSQ csq, ULONG type, PVOID insert, PIO_CSQ_REMOVE_IRP remove, PIO_CSQ_PEEK_NEXT_IRP peek,
                    PIO_CSQ_ACQUIRE_LOCK acquire, PIO_CSQ_RELEASE_LOCK release,
                    PIO_CSQ_COMPLETE_CANCELED_IRP complete)
{
    csq->Type = type;
    csq->CsqInsertIrp = reinterpret_cast<PIO_CSQ_INSERT_IRP>(insert);
    csq->CsqRemoveIrp = remove;
    csq->CsqPeekNextIrp = peek;
    csq->CsqAcquireLock = acquire;
    csq->CsqReleaseLock = release;
    csq->CsqCompleteCanceledIrp = complete;
    csq->ReservePointer = nullptr;
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp)
{
    return initialize(Csq, IO_TYPE_CSQ, reinterpret_cast<PVOID>(CsqInsertIrp), CsqRemoveIrp, CsqPeekNextIrp,
                      CsqAcquireLock, CsqReleaseLock, CsqCompleteCanceledIrp);
}

NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                           PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                           PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                           PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp)
{
    return initialize(Csq, IO_TYPE_CSQ_EX, reinterpret_cast<PVOID>(CsqInsertIrp), CsqRemoveIrp, CsqPeekNextIrp,
                      CsqAcquireLock, CsqReleaseLock, CsqCompleteCanceledIrp);
}

NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context, PVOID InsertContext)
{
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    if (Context != nullptr) {
        Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
        Context->Irp = Irp;
        Context->Csq = Csq;
        Irp->Tail.Overlay.DriverContext[3] = Context;
    } else {
        Irp->Tail.Overlay.DriverContext[3] = Csq;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (Csq->Type == IO_TYPE_CSQ_EX) {
        status = reinterpret_cast<PIO_CSQ_INSERT_IRP_EX>(reinterpret_cast<PVOID>(Csq->CsqInsertIrp))(Csq, Irp,
                                                                                                     InsertContext);
        if (!NT_SUCCESS(status)) {
            unlink(Irp);
            Csq->CsqReleaseLock(Csq, irql);
            return status;
        }
    } else {
        Csq->CsqInsertIrp(Csq, Irp);
    }
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, csq_cancel_routine);
    // Cancelled before the cancel routine was in place: take it back out and complete it here.
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        Csq->CsqRemoveIrp(Csq, Irp);
        unlink(Irp);
        Csq->CsqReleaseLock(Csq, irql);
        Csq->CsqCompleteCanceledIrp(Csq, Irp);
        return status;
    }
    Csq->CsqReleaseLock(Csq, irql);
    return status;
}

VOID IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context)
{
    IoCsqInsertIrpEx(Csq, Irp, Context, nullptr);
}

PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context)
{
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Context->Irp;
    if (irp != nullptr) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Csq->CsqRemoveIrp(Csq, irp);
            unlink(irp);
        } else {
            irp = nullptr; // its cancellation is under way and will complete it
        }
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext)
{
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
    while (irp != nullptr) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Csq->CsqRemoveIrp(Csq, irp);
            unlink(irp);
            break;
        }
        irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

} // extern "C"

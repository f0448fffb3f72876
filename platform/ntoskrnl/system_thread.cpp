// System threads, the calling thread's identity and priority, object references and ZwClose.
#include <wdm.h>
#include <platform/kernel_handles.h>
#include <platform/thread.h>
#include <platform/verifier.h>

using namespace platform;

struct _OBJECT_TYPE {
    const char *name;
};

namespace {

_OBJECT_TYPE thread_type{"Thread"};
_OBJECT_TYPE event_type{"Event"};
POBJECT_TYPE thread_type_pointer = &thread_type;
POBJECT_TYPE event_type_pointer = &event_type;

// The System process, to which every system thread belongs.
constexpr ULONG_PTR system_process_id = 4;

thread *as_thread(PKTHREAD Thread)
{
    return reinterpret_cast<thread *>(Thread);
}

void close_thread_handle(void *object)
{
    thread_dereference(static_cast<thread *>(object));
}

// Runs on a system thread as it ends (its object is no longer the current one): the rules
// of a thread's end.
void check_system_thread_end(thread *self)
{
    if (self->irql != PASSIVE_LEVEL) {
        verifier_stop("SYSTEM_THREAD_EXIT_AT_RAISED_IRQL", "system thread %u ended at IRQL %u", (unsigned)self->id,
                      (unsigned)self->irql);
    }
    if (verifier_spin_locks_held() != 0) {
        verifier_stop("SYSTEM_THREAD_EXIT_HOLDING_SPIN_LOCK", "system thread %u ended holding %u spin lock(s)",
                      (unsigned)self->id, (unsigned)verifier_spin_locks_held());
    }
    if (!self->owned_mutants.empty()) {
        verifier_stop("THREAD_TERMINATE_HELD_MUTEX", "system thread %u ended owning %zu mutex(es)",
                      (unsigned)self->id, self->owned_mutants.size());
    }
}

kernel_handle_type handle_type_of(POBJECT_TYPE type)
{
    return type == event_type_pointer ? kernel_handle_type::event : kernel_handle_type::thread;
}

} // namespace

extern "C" {

POBJECT_TYPE *PsThreadType = &thread_type_pointer;
POBJECT_TYPE *ExEventObjectType = &event_type_pointer;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext)
{
    verifier_check_irql(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    thread *t = thread_start(
        [StartRoutine, StartContext]() {
            thread *self = current_thread();
            self->exit_hooks.push_back([self]() { check_system_thread_end(self); });
            StartRoutine(StartContext);
        },
        nullptr, true);
    *ThreadHandle = kernel_handle_insert(t, kernel_handle_type::thread, close_thread_handle);
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(system_process_id);
        ClientId->UniqueThread = reinterpret_cast<HANDLE>((ULONG_PTR)t->id);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    thread *self = current_thread();
    if (!self->system_thread) {
        verifier_stop("INVALID_PARAMETER", "PsTerminateSystemThread called by thread %u, which is not a system thread",
                      (unsigned)self->id);
    }
    thread_exit_current((DWORD)ExitStatus);
}

HANDLE NTAPI PsGetCurrentThreadId()
{
    return reinterpret_cast<HANDLE>((ULONG_PTR)current_thread()->id);
}

HANDLE NTAPI PsGetCurrentProcessId()
{
    return reinterpret_cast<HANDLE>(system_process_id);
}

PETHREAD NTAPI PsGetCurrentThread()
{
    return reinterpret_cast<PETHREAD>(current_thread());
}

BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread)
{
    return reinterpret_cast<thread *>(Thread)->system_thread ? TRUE : FALSE;
}

PEPROCESS NTAPI PsGetCurrentProcess()
{
    return reinterpret_cast<PEPROCESS>(current_thread()->owner_process);
}

PKTHREAD NTAPI KeGetCurrentThread()
{
    return reinterpret_cast<PKTHREAD>(current_thread());
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    verifier_check_irql(DISPATCH_LEVEL, "KeSetPriorityThread");
    if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY) {
        verifier_stop("INVALID_PARAMETER", "KeSetPriorityThread to priority %d (0 to 31 allowed)", (int)Priority);
    }
    thread *t = as_thread(Thread);
    const KPRIORITY old = t->priority;
    t->priority = Priority;
    thread_apply_priority(t);
    return old;
}

KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread)
{
    return as_thread(Thread)->priority;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation)
{
    verifier_check_irql(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    *Object = nullptr;
    void *object = nullptr;
    if (Handle == NtCurrentThread() && (ObjectType == nullptr || ObjectType == thread_type_pointer)) {
        object = current_thread();
    } else if (ObjectType != nullptr) {
        object = kernel_handle_lookup(Handle, handle_type_of(ObjectType));
        if (object == nullptr) {
            for (auto type : {kernel_handle_type::thread, kernel_handle_type::registry_key, kernel_handle_type::event,
                              kernel_handle_type::file}) {
                if (kernel_handle_lookup(Handle, type) != nullptr) {
                    return STATUS_OBJECT_TYPE_MISMATCH;
                }
            }
        }
    } else {
        for (auto type : {kernel_handle_type::thread, kernel_handle_type::registry_key, kernel_handle_type::event,
                          kernel_handle_type::file}) {
            object = kernel_handle_lookup(Handle, type);
            if (object != nullptr) {
                break;
            }
        }
    }
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (!object_reference(object)) {
        verifier_stop("OBJECT_NOT_REFERENCEABLE", "handle %p names object %p, which cannot be referenced", Handle,
                      object);
    }
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = OBJ_KERNEL_HANDLE;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    *Object = object;
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    verifier_check_irql(DISPATCH_LEVEL, "ObReferenceObject");
    if (!object_reference(Object)) {
        verifier_stop("OBJECT_NOT_REFERENCEABLE", "ObReferenceObject of %p, which is not a kernel object", Object);
    }
    return 1;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    verifier_check_irql(DISPATCH_LEVEL, "ObDereferenceObject");
    if (!object_dereference(Object)) {
        verifier_stop("OBJECT_NOT_REFERENCEABLE", "ObDereferenceObject of %p, which is not a kernel object "
                      "(or its last reference is gone)", Object);
    }
    return 0;
}

VOID NTAPI ObDereferenceObjectDeferDelete(PVOID Object)
{
    ObfDereferenceObject(Object);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    verifier_check_irql(PASSIVE_LEVEL, "ZwClose");
    return kernel_handle_close(Handle);
}

} // extern "C"

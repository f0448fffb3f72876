// The kit base of COM-style kernel objects: CUnknown implements the non-delegating IUnknown
// (reference count, IUnknown query) over an optional outer unknown; the last
// NonDelegatingRelease deletes the object. Objects are allocated from pool with
// new (PoolType, Tag); every member is set by the object's constructor.
#pragma once
#include <wdm.h>
#include <punknown.h>

class CUnknown : public INonDelegatingUnknown {
public:
    explicit CUnknown(PUNKNOWN UnknownOuter) : m_lRefCount(0), m_Self(this)
    {
        m_pUnknownOuter = UnknownOuter != nullptr ? UnknownOuter : &m_Self;
    }
    virtual ~CUnknown() = default;
    CUnknown(const CUnknown &) = delete;
    CUnknown &operator=(const CUnknown &) = delete;

    // The unknown that IUnknown calls of the object's interfaces go to: the outer unknown of
    // an aggregate, else the object's own non-delegating unknown.
    PUNKNOWN GetOuterUnknown() { return m_pUnknownOuter; }

    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override
    {
        return (ULONG)__atomic_add_fetch(&m_lRefCount, 1, __ATOMIC_SEQ_CST);
    }

    STDMETHODIMP_(ULONG) NonDelegatingRelease() override
    {
        LONG count = __atomic_sub_fetch(&m_lRefCount, 1, __ATOMIC_SEQ_CST);
        if (count == 0) {
            m_lRefCount = 1;
            delete this;
        }
        return (ULONG)count;
    }

    // Answers IUnknown only; derived objects answer their interfaces first and call this last.
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, PVOID *ppvObject) override
    {
        if (ppvObject == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (IsEqualGUID(riid, IID_IUnknown)) {
            *ppvObject = &m_Self;
            NonDelegatingAddRef();
            return STATUS_SUCCESS;
        }
        *ppvObject = nullptr;
        return STATUS_INVALID_PARAMETER;
    }

    // Pool allocation of kit objects with the caller's tag. The block is not zeroed: a fill
    // before the constructor runs is a dead store to the compiler, which may drop it, so an
    // object never relies on it; here the pool's fresh-block pattern shows any member that a
    // constructor leaves out.
    static FORCEINLINE void *operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept
    {
        return ExAllocatePoolWithTag(PoolType, Size, Tag);
    }
    static FORCEINLINE void operator delete(void *p) { ExFreePool(p); }
    static FORCEINLINE void operator delete(void *p, POOL_TYPE, ULONG) { ExFreePool(p); }

private:
    // The object's own IUnknown when it is not aggregated: forwards to the non-delegating side.
    struct SelfUnknown final : IUnknown {
        explicit SelfUnknown(CUnknown *owner) : m_owner(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
        {
            return m_owner->NonDelegatingQueryInterface(riid, ppv);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return m_owner->NonDelegatingAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return m_owner->NonDelegatingRelease(); }
        CUnknown *m_owner;
    };

    LONG m_lRefCount;
    PUNKNOWN m_pUnknownOuter;
    SelfUnknown m_Self;
};
typedef CUnknown *PCUNKNOWN;

// The IUnknown methods of a kit object's interfaces, all forwarding to the outer unknown, and
// the declaration of its NonDelegatingQueryInterface.
#define DECLARE_STD_UNKNOWN()                                                                \
    STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject) override;        \
    STDMETHODIMP QueryInterface(REFIID riid, void **ppvObject) override                     \
    {                                                                                        \
        return GetOuterUnknown()->QueryInterface(riid, ppvObject);                           \
    }                                                                                        \
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }          \
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }

#define DEFINE_STD_CONSTRUCTOR(Class) \
    explicit Class(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter) {}

// The interface pointer a query answers with, cast through the interface's own base.
#define QICAST(Type) static_cast<Type>(this)

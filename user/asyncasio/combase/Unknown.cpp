// The module object count, CBaseObject and CUnknown: the reference-counted base of every COM
// object of the library, aggregatable through its non-delegating unknown.
#include "ComBase.h"
#include <interlockedapi.h>

namespace {

// Changed only by interlocked operations: objects are released from any thread.
volatile LONG g_objectCount = 0;

} // namespace

LONG ComBaseObjectCount()
{
    return InterlockedCompareExchange(&g_objectCount, 0, 0);
}

CBaseObject::CBaseObject()
{
    InterlockedIncrement(&g_objectCount);
}

CBaseObject::~CBaseObject()
{
    InterlockedDecrement(&g_objectCount);
}

CUnknown::CUnknown(LPCWSTR name, IUnknown *outer)
    : CBaseObject(), m_face(this), m_owner(outer != nullptr ? outer : &m_face), m_refCount(0)
{
    UNREFERENCED_PARAMETER(name);
}

CUnknown::~CUnknown() = default;

HRESULT STDMETHODCALLTYPE CUnknown::InnerQueryInterface(REFIID riid, void **ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(riid, IID_IUnknown)) {
        return ReturnInterface(NonDelegatingUnknown(), ppv);
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// Never answers 0 while the object lives.
ULONG STDMETHODCALLTYPE CUnknown::InnerAddRef()
{
    const LONG count = InterlockedIncrement(&m_refCount);
    return count > 1 ? (ULONG)count : 1;
}

// At zero the count is set back to 1 before the object is destroyed, so that a reference taken
// and dropped by the destructor cannot start a second destruction.
ULONG STDMETHODCALLTYPE CUnknown::InnerRelease()
{
    const LONG count = InterlockedDecrement(&m_refCount);
    if (count == 0) {
        InterlockedExchange(&m_refCount, 1);
        FinalRelease();
        return 0;
    }
    return count > 1 ? (ULONG)count : 1;
}

HRESULT ReturnInterface(IUnknown *pUnk, void **ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = pUnk;
    pUnk->AddRef();
    return S_OK;
}

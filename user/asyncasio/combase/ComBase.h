// The COM object base shared by the ASIO drivers: the module's object and lock counts, the
// reference-counted object base with its non-delegating unknown, the class factory driven by
// the module's class-template table, and the exported class-object entry points.
#pragma once
#include <objbase.h>

// The non-delegating unknown of an object that may be aggregated: it answers for the object
// itself, while the object's own interfaces delegate to its owner.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void **ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE InnerAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE InnerRelease() = 0;
    virtual ~INonDelegatingUnknown() = default;
};

// Creation function of a class: returns the new object's non-delegating face (reference count
// 0) or null; *phr may be set to a failure, in which case the caller destroys the object.
typedef INonDelegatingUnknown *(*ClassCreateFunction)(IUnknown *outer, HRESULT *phr);
typedef void (*ClassInitFunction)(BOOL loading, const CLSID *clsid);

struct ClassTemplate {
    LPCWSTR name;
    const CLSID *clsid;
    ClassCreateFunction create;
    ClassInitFunction init;
};

// Provided by each library: its class table.
extern const ClassTemplate ClassTemplates[];
extern const int ClassTemplateCount;

// Module counts. DllCanUnloadNow answers S_OK only when both are zero.
LONG ComBaseObjectCount();
LONG ComBaseLockCount();

// Counts every live object of the module.
class CBaseObject {
public:
    CBaseObject();
    virtual ~CBaseObject();
    CBaseObject(const CBaseObject &) = delete;
    CBaseObject &operator=(const CBaseObject &) = delete;
};

// Reference-counted object base. A derived class puts its own interface first, overrides
// InnerQueryInterface for its interface identifiers and passes the others on; its interface's
// QueryInterface, AddRef and Release forward to OuterUnknown().
class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    CUnknown(LPCWSTR name, IUnknown *outer);
    ~CUnknown() override;

    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE InnerAddRef() override;
    ULONG STDMETHODCALLTYPE InnerRelease() override;

    // The unknown that receives delegated calls: the outer unknown, or this object's own
    // non-delegating face when it is not aggregated.
    IUnknown *OuterUnknown() const { return m_owner; }

private:
    // The non-delegating unknown seen through the IUnknown shape, as clients and the
    // aggregating object hold it.
    class NonDelegatingFace : public IUnknown {
    public:
        explicit NonDelegatingFace(CUnknown *object) : m_object(object) {}
        STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return m_object->InnerQueryInterface(riid, ppv); }
        STDMETHODIMP_(ULONG) AddRef() override { return m_object->InnerAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return m_object->InnerRelease(); }

    private:
        CUnknown *m_object;
    };

    NonDelegatingFace m_face;
    IUnknown *m_owner;
    volatile LONG m_refCount;

protected:
    // The face to hand out for IID_IUnknown.
    IUnknown *NonDelegatingUnknown() { return &m_face; }
    // Runs when the last reference goes; destroys the object unless a class defers that.
    virtual VOID FinalRelease() { delete this; }
};

// Hands out pUnk through ppv and adds a reference through it. E_POINTER for a null ppv.
HRESULT ReturnInterface(IUnknown *pUnk, void **ppv);

class CClassFactory : public IClassFactory {
public:
    explicit CClassFactory(const ClassTemplate *classTemplate);
    virtual ~CClassFactory() = default;
    CClassFactory(const CClassFactory &) = delete;
    CClassFactory &operator=(const CClassFactory &) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown *pUnkOuter, REFIID riid, void **ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

private:
    LONG m_refCount;
    const ClassTemplate *m_template;
};

// The COM object base on a test class table: the order of checks in DllGetClassObject, the
// factory's creation paths and their clean-up, reference counts of CUnknown, aggregation, and
// the module counts behind DllCanUnloadNow.
#include "combase/ComBase.h"
#include "combase/ComRegistration.h"
#include <gtest/gtest.h>
#include <platform/machine_state.h>
#include <platform/trace.h>
#include <UserTrace.h>

// {6A0F1E55-3C2B-4D6E-9F10-1A2B3C4D5E6F}
DEFINE_GUID(CLSID_TestObject, 0x6A0F1E55, 0x3C2B, 0x4D6E, 0x9F, 0x10, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F);
// {6A0F1E56-3C2B-4D6E-9F10-1A2B3C4D5E6F}
DEFINE_GUID(IID_ITestFace, 0x6A0F1E56, 0x3C2B, 0x4D6E, 0x9F, 0x10, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F);
// {6A0F1E57-3C2B-4D6E-9F10-1A2B3C4D5E6F}
DEFINE_GUID(CLSID_NotServed, 0x6A0F1E57, 0x3C2B, 0x4D6E, 0x9F, 0x10, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F);

namespace {

enum class create_mode { normal, return_null, report_failure };
create_mode g_mode = create_mode::normal;
int g_destroyed = 0;

interface ITestFace : public IUnknown {
    virtual int STDMETHODCALLTYPE Value() = 0;
};

class CTestObject : public ITestFace, public CUnknown {
public:
    explicit CTestObject(IUnknown *outer) : CUnknown(L"TestObject", outer) {}
    ~CTestObject() override { g_destroyed += 1; }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return OuterUnknown()->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return OuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return OuterUnknown()->Release(); }
    int STDMETHODCALLTYPE Value() override { return 42; }

    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void **ppv) override
    {
        if (IsEqualIID(riid, IID_ITestFace) || IsEqualIID(riid, CLSID_TestObject)) {
            return ReturnInterface(static_cast<ITestFace *>(this), ppv);
        }
        return CUnknown::InnerQueryInterface(riid, ppv);
    }

    static INonDelegatingUnknown *Create(IUnknown *outer, HRESULT *phr)
    {
        if (g_mode == create_mode::return_null) {
            return nullptr;
        }
        if (g_mode == create_mode::report_failure) {
            *phr = E_UNEXPECTED;
        }
        return new CTestObject(outer);
    }
};

// An outer object that records the calls delegated to it.
class COuter : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        queries += 1;
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return (ULONG)++refs; }
    STDMETHODIMP_(ULONG) Release() override { return (ULONG)--refs; }
    int queries = 0;
    LONG refs = 1;
};

class ComBaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_mode = create_mode::normal;
        g_destroyed = 0;
        ASSERT_EQ(ComBaseObjectCount(), 0);
        ASSERT_EQ(ComBaseLockCount(), 0);
    }
    void TearDown() override { EXPECT_EQ(ComBaseObjectCount(), 0) << "an object leaked"; }

    IClassFactory *factory()
    {
        void *ppv = nullptr;
        EXPECT_EQ(DllGetClassObject(CLSID_TestObject, IID_IClassFactory, &ppv), S_OK);
        return static_cast<IClassFactory *>(ppv);
    }
};

} // namespace

const ClassTemplate ClassTemplates[] = {
    {L"TestObject", &CLSID_TestObject, CTestObject::Create, nullptr},
};
const int ClassTemplateCount = 1;

namespace {

TEST_F(ComBaseTest, ClassObjectChecksTheInterfaceBeforeTheClassAndLeavesTheOutPointerOnFailure)
{
    void *const poison = reinterpret_cast<void *>(0x5A5A);
    void *ppv = poison;
    EXPECT_EQ(DllGetClassObject(CLSID_NotServed, CLSID_TestObject, &ppv), E_NOINTERFACE);
    EXPECT_EQ(ppv, poison);
    EXPECT_EQ(DllGetClassObject(CLSID_TestObject, CLSID_TestObject, &ppv), E_NOINTERFACE);
    EXPECT_EQ(ppv, poison);
    EXPECT_EQ(DllGetClassObject(CLSID_NotServed, IID_IClassFactory, &ppv), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(ppv, poison);
    EXPECT_EQ(DllGetClassObject(CLSID_TestObject, IID_IClassFactory, nullptr), E_POINTER);

    ASSERT_EQ(DllGetClassObject(CLSID_TestObject, IID_IUnknown, &ppv), S_OK);
    auto *cf = static_cast<IClassFactory *>(ppv);
    EXPECT_EQ(cf->AddRef(), 2u) << "the factory is handed out with one reference";
    EXPECT_EQ(cf->Release(), 1u);
    EXPECT_EQ(ComBaseObjectCount(), 0) << "factories are not counted as objects";
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(cf->Release(), 0u);
}

TEST_F(ComBaseTest, FactoryAnswersOnlyItsOwnInterfaces)
{
    IClassFactory *cf = factory();
    void *ppv = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(cf->QueryInterface(IID_ITestFace, &ppv), E_NOINTERFACE);
    EXPECT_EQ(ppv, nullptr);
    EXPECT_EQ(cf->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
    ASSERT_EQ(cf->QueryInterface(IID_IUnknown, &ppv), S_OK);
    EXPECT_EQ(ppv, cf);
    EXPECT_EQ(cf->Release(), 1u);
    EXPECT_EQ(cf->Release(), 0u);
}

TEST_F(ComBaseTest, CreatedObjectAnswersItsClassIdentifierAndCountsUntilReleased)
{
    IClassFactory *cf = factory();
    ITestFace *face = nullptr;
    ASSERT_EQ(cf->CreateInstance(nullptr, CLSID_TestObject, reinterpret_cast<void **>(&face)), S_OK);
    cf->Release();
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->Value(), 42);
    EXPECT_EQ(ComBaseObjectCount(), 1);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

    // The IUnknown face is the non-delegating one: the same object, one more reference.
    IUnknown *unknown = nullptr;
    ASSERT_EQ(face->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&unknown)), S_OK);
    EXPECT_NE(static_cast<void *>(unknown), static_cast<void *>(face));
    EXPECT_EQ(unknown->AddRef(), 3u);
    EXPECT_EQ(unknown->Release(), 2u);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_EQ(face->Release(), 0u);
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ComBaseTest, CreateInstanceRejectsBadArgumentsBeforeCreatingAnything)
{
    IClassFactory *cf = factory();
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_ITestFace, nullptr), E_POINTER);
    COuter outer;
    void *ppv = nullptr;
    EXPECT_EQ(cf->CreateInstance(&outer, IID_ITestFace, &ppv), E_NOINTERFACE) << "aggregation only through IUnknown";
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_EQ(ComBaseObjectCount(), 0);
    cf->Release();
}

TEST_F(ComBaseTest, CreateInstanceCleansUpEveryFailedCreation)
{
    IClassFactory *cf = factory();
    void *ppv = reinterpret_cast<void *>(0x1);

    g_mode = create_mode::return_null;
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_ITestFace, &ppv), E_OUTOFMEMORY);

    g_mode = create_mode::report_failure;
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_ITestFace, &ppv), E_UNEXPECTED);
    EXPECT_EQ(g_destroyed, 1) << "an object created with a failure is destroyed";

    g_mode = create_mode::normal;
    ppv = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(cf->CreateInstance(nullptr, CLSID_NotServed, &ppv), E_NOINTERFACE);
    EXPECT_EQ(ppv, nullptr);
    EXPECT_EQ(g_destroyed, 2) << "a failed query destroys the new object again";
    EXPECT_EQ(ComBaseObjectCount(), 0);
    cf->Release();
}

TEST_F(ComBaseTest, ReferenceCountsNeverReadZeroWhileTheObjectLives)
{
    INonDelegatingUnknown *inner = CTestObject::Create(nullptr, nullptr);
    EXPECT_EQ(inner->InnerAddRef(), 1u);
    EXPECT_EQ(inner->InnerAddRef(), 2u);
    EXPECT_EQ(inner->InnerRelease(), 1u);
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_EQ(inner->InnerRelease(), 0u);
    EXPECT_EQ(g_destroyed, 1);

    void *ppv = reinterpret_cast<void *>(0x1);
    inner = CTestObject::Create(nullptr, nullptr);
    inner->InnerAddRef();
    EXPECT_EQ(inner->InnerQueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(inner->InnerQueryInterface(IID_IClassFactory, &ppv), E_NOINTERFACE);
    EXPECT_EQ(ppv, nullptr);
    inner->InnerRelease();
}

TEST_F(ComBaseTest, AggregatedObjectDelegatesItsInterfaceToTheOuterUnknown)
{
    IClassFactory *cf = factory();
    COuter outer;
    IUnknown *inner = nullptr;
    ASSERT_EQ(cf->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void **>(&inner)), S_OK);
    cf->Release();
    EXPECT_EQ(outer.refs, 1) << "the inner unknown's references are its own";

    ITestFace *face = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_ITestFace, reinterpret_cast<void **>(&face)), S_OK);
    EXPECT_EQ(outer.refs, 2) << "handing out the delegating face adds a reference to the outer object";
    void *ppv = nullptr;
    EXPECT_EQ(face->QueryInterface(IID_ITestFace, &ppv), E_NOINTERFACE);
    EXPECT_EQ(outer.queries, 1);
    face->Release();
    EXPECT_EQ(outer.refs, 1);
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ComBaseTest, LockServerKeepsTheModuleLoaded)
{
    IClassFactory *cf = factory();
    EXPECT_EQ(cf->LockServer(TRUE), S_OK);
    cf->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    cf = factory();
    EXPECT_EQ(cf->LockServer(FALSE), S_OK);
    cf->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComRegistrationTest, ModuleThatIsNotLoadedIsReported)
{
    platform::machine_boot();
    // The test's own provider stands for the module's, which the registration entries start.
    TraceStart(&CLSID_TestObject);
    {
        platform::trace_capture capture(&CLSID_TestObject, TRACE_LEVEL_ERROR);
        EXPECT_EQ(RegisterDriverServer(CLSID_TestObject, L"notloaded.dll", L"Test", L"Test", L"Apartment"),
                  COMREG_MODULE_NOT_LOADED);
        EXPECT_EQ(UnregisterDriverServer(CLSID_TestObject, L"notloaded.dll", L"Test"), COMREG_MODULE_NOT_LOADED);
        EXPECT_EQ(capture.records().size(), 2u) << "each failure is traced as an error";
    }
    TraceStop();
    EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Test"), 0);
    EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, nullptr), -1);
    platform::machine_shutdown();
}

TEST(ComRegistrationTest, DeleteKeyTreeRemovesChildrenFirstAndReportsWhetherAnythingWent)
{
    platform::machine_boot();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, L"SOFTWARE\\TreeTest\\Top\\A\\A1", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, L"SOFTWARE\\TreeTest\\Top\\B", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(SetStringValue(HKEY_CURRENT_USER, L"SOFTWARE\\TreeTest\\Top\\B", L"v", L"x"), 0);

    EXPECT_EQ(DeleteKeyTree(HKEY_CURRENT_USER, L"SOFTWARE\\TreeTest", L"Top"), 0);
    EXPECT_EQ(KeyExists(HKEY_CURRENT_USER, L"SOFTWARE\\TreeTest\\Top"), 0);
    EXPECT_EQ(KeyExists(HKEY_CURRENT_USER, L"SOFTWARE\\TreeTest"), 1);
    EXPECT_EQ(DeleteKeyTree(HKEY_CURRENT_USER, L"SOFTWARE\\TreeTest", L"Top"), -1);
    EXPECT_EQ(DeleteKeyTree(HKEY_CURRENT_USER, L"SOFTWARE\\Missing", L"Top"), -1);
    platform::machine_shutdown();
}

TEST(ComRegistrationTest, StringValuesAreStoredWithoutTheirTerminator)
{
    platform::machine_boot();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, L"SOFTWARE\\ValueTest", &key), ERROR_SUCCESS);
    ASSERT_EQ(SetStringValue(HKEY_CURRENT_USER, L"SOFTWARE\\ValueTest", L"Name", L"Apartment"), 0);
    DWORD type = 0;
    DWORD bytes = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"Name", nullptr, &type, nullptr, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(bytes, 9 * sizeof(WCHAR));

    WCHAR buffer[16] = {};
    EXPECT_EQ(GetStringValue(HKEY_CURRENT_USER, L"SOFTWARE\\ValueTest", L"Name", buffer, 8 * sizeof(WCHAR)), -1)
        << "a value larger than the buffer is not read";
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(GetStringValue(HKEY_CURRENT_USER, L"SOFTWARE\\ValueTest", L"Name", buffer, 15 * sizeof(WCHAR)), 0);
    EXPECT_STREQ(buffer, L"Apartment");
    EXPECT_EQ(SetStringValue(HKEY_CURRENT_USER, L"SOFTWARE\\NoSuchKey", L"Name", L"x"), -1);
    RegCloseKey(key);
    platform::machine_shutdown();
}

} // namespace

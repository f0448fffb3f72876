// The COM runtime: GUID text in both directions, apartments, and activation of in-process
// servers through HKEY_CLASSES_ROOT (the module loaded from its registered path) or built in.
#include <objbase.h>
#include <gtest/gtest.h>
#include <platform/com_runtime.h>
#include <platform/machine_state.h>
#include <string>
#include <thread>

namespace {

// {A1B2C3D4-0001-4000-8000-00AA00BB00CC}, served by the test server module.
constexpr GUID test_class = {0xA1B2C3D4, 0x0001, 0x4000, {0x80, 0x00, 0x00, 0xAA, 0x00, 0xBB, 0x00, 0xCC}};
constexpr GUID asio_class = {0x4427F646, 0x4B33, 0x4B24, {0xA4, 0xD1, 0xA8, 0x38, 0xCC, 0xF6, 0x62, 0xC5}};
constexpr GUID builtin_class = {0x0BADF00D, 0x1234, 0x4321, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};

class ComRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override
    {
        while (m_inits-- > 0) {
            CoUninitialize();
        }
        platform::machine_shutdown();
    }

    void init()
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_inits += 1;
    }

    static void register_server(const GUID &clsid, const std::wstring &path)
    {
        WCHAR text[CHARS_IN_GUID];
        ASSERT_EQ(StringFromGUID2(clsid, text, CHARS_IN_GUID), CHARS_IN_GUID);
        const std::wstring key_path = std::wstring(L"CLSID\\") + text + L"\\InprocServer32";
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
                                 (DWORD)(path.size() * sizeof(WCHAR))),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    int m_inits = 0;
};

TEST(GuidTextTest, FormatsInBracesWithUpperCaseHexadecimal)
{
    LPOLESTR text = nullptr;
    ASSERT_EQ(StringFromCLSID(asio_class, &text), S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, L"{4427F646-4B33-4B24-A4D1-A838CCF662C5}");
    EXPECT_EQ(std::wstring(text).size(), 38u);
    CoTaskMemFree(text);

    WCHAR buffer[40];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(StringFromGUID2(asio_class, buffer, 38), 0) << "no room for the terminator";
    EXPECT_EQ(buffer[0], L'#');
    EXPECT_EQ(StringFromGUID2(asio_class, buffer, 39), 39);
    EXPECT_STREQ(buffer, L"{4427F646-4B33-4B24-A4D1-A838CCF662C5}");
    EXPECT_EQ(buffer[39], L'#');
}

TEST(GuidTextTest, ParsesEitherCaseAndRejectsAnythingButTheBracedForm)
{
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(L"{4427f646-4b33-4b24-a4d1-a838ccf662c5}", &clsid), S_OK);
    EXPECT_EQ(clsid, asio_class);

    const WCHAR *malformed[] = {
        L"4427F646-4B33-4B24-A4D1-A838CCF662C5",    L"{4427F646-4B33-4B24-A4D1-A838CCF662C5",
        L"{4427F646-4B33-4B24-A4D1-A838CCF662C5}x", L"{4427F646-4B33-4B24-A4D1A838CCF662C5-}",
        L"{4427F64G-4B33-4B24-A4D1-A838CCF662C5}", L"",
    };
    for (const WCHAR *text : malformed) {
        SCOPED_TRACE(testing::Message() << "text " << testing::PrintToString(std::wstring(text)));
        clsid = asio_class;
        EXPECT_EQ(CLSIDFromString(text, &clsid), CO_E_CLASSSTRING);
        EXPECT_EQ(clsid, GUID_NULL);
        IID iid = asio_class;
        EXPECT_EQ(IIDFromString(text, &iid), E_INVALIDARG);
        EXPECT_EQ(iid, asio_class) << "a rejected text leaves the identifier as it was";
    }
}

TEST_F(ComRuntimeTest, ApartmentsCountInitialisationsAndRefuseAChangeOfModel)
{
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK) << "a fully left apartment may change model";
    CoUninitialize();

    // Each thread has its own apartment.
    HRESULT other = E_FAIL;
    std::thread([&] {
        other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoUninitialize();
    }).join();
    EXPECT_EQ(other, S_OK);
}

TEST_F(ComRuntimeTest, CreateInstanceNeedsAnInitialisedThread)
{
    void *object = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(CoCreateInstance(test_class, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(test_class, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ComRuntimeTest, CreateInstanceLoadsTheServerFromItsRegisteredPath)
{
    init();
    const std::wstring path = L"C:\\Program Files\\Test Servers\\ole32testserver.dll";
    register_server(test_class, path);
    ASSERT_EQ(GetModuleHandleW(L"ole32testserver.dll"), nullptr);

    IUnknown *object = nullptr;
    ASSERT_EQ(CoCreateInstance(test_class, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void **>(&object)),
              S_OK);
    ASSERT_NE(object, nullptr);
    HMODULE module = GetModuleHandleW(L"ole32testserver.dll");
    ASSERT_NE(module, nullptr);
    WCHAR loaded_from[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(module, loaded_from, MAX_PATH), 0u);
    EXPECT_EQ(std::wstring(loaded_from), path);
    EXPECT_EQ(object->Release(), 0u);

    void *none = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(CoCreateInstance(test_class, nullptr, CLSCTX_INPROC_SERVER, asio_class, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
}

TEST_F(ComRuntimeTest, CreateInstanceReportsWhatIsMissing)
{
    init();
    void *object = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(CoCreateInstance(asio_class, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);

    register_server(asio_class, L"C:\\Nowhere\\notamodule.dll");
    EXPECT_EQ(CoCreateInstance(asio_class, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), CO_E_DLLNOTFOUND);

    register_server(test_class, L"C:\\Test\\ole32testserver.dll");
    EXPECT_EQ(CoCreateInstance(test_class, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
}

TEST_F(ComRuntimeTest, BuiltInClassesAreServedWithoutTheRegistry)
{
    static int created = 0;
    platform::com_register_builtin_class(builtin_class, [](IUnknown *, REFIID riid, void **ppv) -> HRESULT {
        created += 1;
        *ppv = nullptr;
        return riid == IID_IUnknown ? S_OK : E_NOINTERFACE;
    });
    init();
    void *object = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(CoCreateInstance(builtin_class, nullptr, CLSCTX_ALL, IID_IUnknown, &object), S_OK);
    EXPECT_EQ(created, 1);
}

} // namespace

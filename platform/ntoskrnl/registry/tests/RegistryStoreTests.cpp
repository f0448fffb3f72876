// The registry store: names, values, enumeration order, views, deletion, change watches and
// the reset at boot.
#include <gtest/gtest.h>
#include <atomic>
#include <cstring>
#include <thread>
#include <platform/machine_state.h>
#include <platform/registry.h>

using namespace platform;

namespace {

struct RegistryStore : ::testing::Test {
    void SetUp() override { machine_boot(); }
    void TearDown() override { machine_shutdown(); }

    registry_key create(std::wstring_view path, bool *created = nullptr)
    {
        registry_key key;
        bool made = false;
        EXPECT_EQ(STATUS_SUCCESS, registry_create(nullptr, path, registry_view::native, true, false, &key, &made));
        if (created != nullptr) {
            *created = made;
        }
        return key;
    }
};

constexpr const WCHAR *test_key = L"\\Registry\\Machine\\SOFTWARE\\Test";

} // namespace

TEST_F(RegistryStore, NamesMatchWithoutCaseAndKeepTheirSpelling)
{
    bool created = false;
    registry_key key = create(L"\\Registry\\Machine\\SOFTWARE\\MixedCase\\Child", &created);
    EXPECT_TRUE(created);
    registry_key again;
    ASSERT_EQ(STATUS_SUCCESS,
              registry_open(nullptr, L"\\REGISTRY\\machine\\software\\MIXEDCASE\\child", registry_view::native, &again));
    EXPECT_EQ(key, again);
    EXPECT_EQ(L"Child", registry_key_name(again));
    EXPECT_EQ(L"\\REGISTRY\\Machine\\SOFTWARE\\MixedCase\\Child", registry_key_path(again));

    ASSERT_EQ(STATUS_SUCCESS, registry_create(nullptr, L"\\Registry\\Machine\\software\\MIXEDCASE\\CHILD",
                                              registry_view::native, true, false, &again, &created));
    EXPECT_FALSE(created);
    EXPECT_EQ(L"Child", registry_key_name(again));

    DWORD value = 7;
    ASSERT_EQ(STATUS_SUCCESS, registry_set_value(key, L"Rate", REG_DWORD, &value, sizeof(value)));
    value = 8;
    ASSERT_EQ(STATUS_SUCCESS, registry_set_value(key, L"RATE", REG_DWORD, &value, sizeof(value)));
    std::wstring name;
    ASSERT_EQ(STATUS_SUCCESS, registry_enum_value(key, 0, &name, nullptr, nullptr));
    EXPECT_EQ(L"Rate", name); // the first spelling stays
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, registry_enum_value(key, 1, &name, nullptr, nullptr));
}

TEST_F(RegistryStore, PathsAreCheckedAndMissingComponentsReported)
{
    registry_key key;
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, registry_open(nullptr, L"Machine\\SOFTWARE", registry_view::native, &key));
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, registry_open(nullptr, L"\\Other\\Machine", registry_view::native, &key));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              registry_open(nullptr, L"\\Registry\\Machine\\SOFTWARE\\Missing", registry_view::native, &key));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, registry_open(nullptr, L"\\Registry\\Machine\\" + std::wstring(256, L'x'),
                                                      registry_view::native, &key));
    bool created = false;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, registry_create(nullptr, L"\\Registry\\Machine\\SOFTWARE\\A\\B",
                                                            registry_view::native, false, false, &key, &created));
    EXPECT_FALSE(registry_key_exists(L"\\Registry\\Machine\\SOFTWARE\\A"));
    EXPECT_TRUE(registry_key_exists(L"\\Registry\\Machine\\SOFTWARE\\\\Classes\\"));
}

TEST_F(RegistryStore, ValuesKeepExactBytesAndType)
{
    registry_key key = create(test_key);
    const WCHAR text[] = {L's', L'e', L'l'}; // no terminator
    ASSERT_EQ(STATUS_SUCCESS, registry_set_value(key, L"selected", REG_SZ, text, sizeof(text)));
    ASSERT_EQ(STATUS_SUCCESS, registry_set_value(key, L"", REG_BINARY, nullptr, 0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, registry_set_value(key, L"bad", REG_BINARY, nullptr, 4));

    ULONG type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(STATUS_SUCCESS, registry_query_value(key, L"selected", &type, &data));
    EXPECT_EQ(static_cast<ULONG>(REG_SZ), type);
    ASSERT_EQ(sizeof(text), data.size());
    EXPECT_EQ(0, std::memcmp(text, data.data(), sizeof(text)));
    ASSERT_EQ(STATUS_SUCCESS, registry_query_value(key, L"", &type, &data));
    EXPECT_EQ(static_cast<ULONG>(REG_BINARY), type);
    EXPECT_TRUE(data.empty());

    EXPECT_EQ(STATUS_SUCCESS, registry_delete_value(key, L"SELECTED"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, registry_query_value(key, L"selected", &type, &data));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, registry_delete_value(key, L"selected"));
}

TEST_F(RegistryStore, EnumerationFollowsCreationOrderAndInfoCountsIt)
{
    registry_key key = create(test_key);
    for (const WCHAR *name : {L"zeta", L"Alpha", L"mid"}) {
        registry_key child;
        bool created = false;
        ASSERT_EQ(STATUS_SUCCESS, registry_create(key, name, registry_view::native, false, false, &child, &created));
    }
    const BYTE blob[10] = {};
    registry_set_value(key, L"b", REG_BINARY, blob, sizeof(blob));
    registry_set_value(key, L"longer name", REG_BINARY, blob, 3);

    std::vector<std::wstring> names;
    std::wstring name;
    for (ULONG i = 0; NT_SUCCESS(registry_enum_key(key, i, &name)); ++i) {
        names.push_back(name);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"zeta", L"Alpha", L"mid"}), names);

    registry_key_info info;
    ASSERT_EQ(STATUS_SUCCESS, registry_query_key(key, &info));
    EXPECT_EQ(3u, info.subkeys);
    EXPECT_EQ(5u, info.max_subkey_name);
    EXPECT_EQ(2u, info.values);
    EXPECT_EQ(11u, info.max_value_name);
    EXPECT_EQ(10u, info.max_value_data);
}

TEST_F(RegistryStore, DeleteRefusesSubkeysAndLeavesHoldersWithADeletedKey)
{
    registry_key parent = create(L"\\Registry\\Machine\\SOFTWARE\\Test\\Parent");
    registry_key child = create(L"\\Registry\\Machine\\SOFTWARE\\Test\\Parent\\Child");
    EXPECT_EQ(STATUS_CANNOT_DELETE, registry_delete_key(parent));
    EXPECT_EQ(STATUS_SUCCESS, registry_delete_key(child));
    EXPECT_TRUE(registry_key_deleted(child));

    DWORD value = 1;
    std::wstring name;
    registry_key below;
    bool created = false;
    EXPECT_EQ(STATUS_KEY_DELETED, registry_set_value(child, L"v", REG_DWORD, &value, sizeof(value)));
    EXPECT_EQ(STATUS_KEY_DELETED, registry_enum_key(child, 0, &name));
    EXPECT_EQ(STATUS_KEY_DELETED, registry_create(child, L"x", registry_view::native, false, false, &below, &created));
    EXPECT_EQ(STATUS_KEY_DELETED, registry_delete_key(child));
    EXPECT_EQ(STATUS_SUCCESS, registry_delete_key(parent));

    // A key of the same name made later is a new key.
    registry_key again = create(L"\\Registry\\Machine\\SOFTWARE\\Test\\Parent\\Child");
    EXPECT_NE(child, again);

    // Hives and the keys right below them stay.
    registry_key hive;
    ASSERT_EQ(STATUS_SUCCESS, registry_open(nullptr, L"\\Registry\\Machine\\SOFTWARE", registry_view::native, &hive));
    EXPECT_EQ(STATUS_ACCESS_DENIED, registry_delete_key(create(L"\\Registry\\Machine\\Empty")));
    registry_key user;
    ASSERT_EQ(STATUS_SUCCESS, registry_open(nullptr, L"\\Registry\\User", registry_view::native, &user));
    EXPECT_EQ(STATUS_ACCESS_DENIED, registry_delete_key(user));
}

TEST_F(RegistryStore, ThirtyTwoBitViewOfSoftwareIsWow6432Node)
{
    registry_key key;
    bool created = false;
    ASSERT_EQ(STATUS_SUCCESS, registry_create(nullptr, L"\\Registry\\Machine\\SOFTWARE\\Vendor\\App",
                                              registry_view::wow64_32, true, false, &key, &created));
    EXPECT_EQ(L"\\REGISTRY\\Machine\\SOFTWARE\\WOW6432Node\\Vendor\\App", registry_key_path(key));
    EXPECT_FALSE(registry_key_exists(L"\\Registry\\Machine\\SOFTWARE\\Vendor"));

    // Relative opens below a 32-bit key, and a path already naming the node, stay in place.
    registry_key software32, app;
    ASSERT_EQ(STATUS_SUCCESS, registry_open(nullptr, L"\\Registry\\Machine\\SOFTWARE", registry_view::wow64_32,
                                            &software32));
    EXPECT_EQ(STATUS_SUCCESS, registry_open(software32, L"Vendor\\App", registry_view::wow64_32, &app));
    EXPECT_EQ(key, app);
    EXPECT_EQ(STATUS_SUCCESS, registry_open(nullptr, L"\\Registry\\Machine\\SOFTWARE\\WOW6432Node\\Vendor\\App",
                                            registry_view::wow64_32, &app));
    EXPECT_EQ(key, app);

    // The user hive is shared by both views.
    registry_key user;
    const std::wstring user_path = L"\\Registry\\User\\" + registry_current_user() + L"\\Software\\X";
    ASSERT_EQ(STATUS_SUCCESS, registry_create(nullptr, user_path, registry_view::wow64_32, true, false, &user, &created));
    EXPECT_TRUE(registry_key_exists(user_path));
}

TEST_F(RegistryStore, WatchesFireOnceForTheirKindOfChange)
{
    registry_key key = create(test_key);
    int values = 0, names = 0, subtree = 0, either = 0;
    registry_watch_id id;
    ASSERT_EQ(STATUS_SUCCESS, registry_watch_add(key, false, 0x4, [&] { ++values; }, &id));
    ASSERT_EQ(STATUS_SUCCESS, registry_watch_add(key, false, 0x1, [&] { ++names; }, &id));
    ASSERT_EQ(STATUS_SUCCESS, registry_watch_add(key, true, 0x4, [&] { ++subtree; }, &id));
    ASSERT_EQ(STATUS_SUCCESS, registry_watch_add(key, false, 0xF, [&] { ++either; }, &id));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, registry_watch_add(key, false, 0, [] {}, &id));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, registry_watch_add(key, false, 0x20, [] {}, &id));

    // A value set below the key reaches only the subtree watch.
    registry_key child = create(L"\\Registry\\Machine\\SOFTWARE\\Test\\Child"); // name change of key
    EXPECT_EQ(1, names);
    EXPECT_EQ(1, either);
    EXPECT_EQ(0, values);
    DWORD v = 1;
    registry_set_value(child, L"v", REG_DWORD, &v, sizeof(v));
    EXPECT_EQ(1, subtree);
    EXPECT_EQ(0, values);
    registry_set_value(key, L"v", REG_DWORD, &v, sizeof(v));
    registry_set_value(key, L"v", REG_DWORD, &v, sizeof(v));
    EXPECT_EQ(1, values);
    EXPECT_EQ(1, subtree);
    EXPECT_EQ(1, names);
    EXPECT_EQ(1, either);
}

TEST_F(RegistryStore, DeletingAWatchedKeyFiresItsWatchesAndCancelRunsOnlyPendingOnes)
{
    registry_key key = create(test_key);
    registry_key parent;
    ASSERT_EQ(STATUS_SUCCESS, registry_open(nullptr, L"\\Registry\\Machine\\SOFTWARE", registry_view::native, &parent));
    int on_key = 0, on_parent = 0, cancelled = 0;
    registry_watch_id key_watch, parent_watch, spare;
    ASSERT_EQ(STATUS_SUCCESS, registry_watch_add(key, false, 0x4, [&] { ++on_key; }, &key_watch));
    ASSERT_EQ(STATUS_SUCCESS, registry_watch_add(parent, false, 0x1, [&] { ++on_parent; }, &parent_watch));
    ASSERT_EQ(STATUS_SUCCESS, registry_watch_add(parent, true, 0x4, [&] { ++cancelled; }, &spare));
    ASSERT_EQ(STATUS_SUCCESS, registry_delete_key(key));
    EXPECT_EQ(1, on_key);
    EXPECT_EQ(1, on_parent);
    EXPECT_EQ(0, cancelled);

    EXPECT_FALSE(registry_watch_cancel(key_watch, true));
    EXPECT_EQ(1, on_key);
    EXPECT_TRUE(registry_watch_cancel(spare, true));
    EXPECT_EQ(1, cancelled);
    EXPECT_FALSE(registry_watch_cancel(spare, true));
    EXPECT_EQ(STATUS_KEY_DELETED, registry_watch_add(key, false, 0x4, [] {}, &spare));
}

TEST_F(RegistryStore, BootEmptiesTheStoreAndRestoresTheDefaultUser)
{
    ASSERT_TRUE(registry_seed_dword(L"\\Registry\\Machine\\SOFTWARE\\Seeded", L"param1", 4));
    registry_set_current_user(L"S-1-5-21-9-9-9-1002");
    EXPECT_TRUE(registry_key_exists(L"\\Registry\\User\\S-1-5-21-9-9-9-1002\\Software"));
    const std::wstring before = registry_driver_key_path(L"USB\\VID_0001&PID_0002\\A");
    EXPECT_EQ(before, registry_driver_key_path(L"USB\\VID_0001&PID_0002\\A"));
    EXPECT_NE(before, registry_driver_key_path(L"USB\\VID_0001&PID_0002\\B"));

    machine_shutdown();
    machine_boot();
    DWORD value = 0;
    EXPECT_FALSE(registry_read_dword(L"\\Registry\\Machine\\SOFTWARE\\Seeded", L"param1", &value));
    EXPECT_EQ(std::wstring(registry_default_user_sid), registry_current_user());
    EXPECT_TRUE(registry_key_exists(L"\\Registry\\User\\" + registry_current_user() + L"\\Software"));
    EXPECT_FALSE(registry_key_exists(L"\\Registry\\User\\S-1-5-21-9-9-9-1002"));
    EXPECT_EQ(before, registry_driver_key_path(L"USB\\VID_0001&PID_0002\\B")); // numbering restarts
}

TEST_F(RegistryStore, SeedAndReadHelpers)
{
    ASSERT_TRUE(registry_seed_string(L"\\Registry\\Machine\\SOFTWARE\\S", L"Path", L"C:\\x"));
    ULONG type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(registry_read_value(L"\\Registry\\Machine\\SOFTWARE\\S", L"path", &type, &data));
    EXPECT_EQ(static_cast<ULONG>(REG_SZ), type);
    EXPECT_EQ(5 * sizeof(WCHAR), data.size());
    DWORD value = 0;
    EXPECT_FALSE(registry_read_dword(L"\\Registry\\Machine\\SOFTWARE\\S", L"Path", &value)); // wrong type
    EXPECT_TRUE(registry_delete_tree(L"\\Registry\\Machine\\SOFTWARE\\S"));
    EXPECT_FALSE(registry_key_exists(L"\\Registry\\Machine\\SOFTWARE\\S"));
    EXPECT_EQ(L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1\\2\\Device Parameters",
              registry_device_key_path(L"USB\\VID_1\\2"));
}

TEST_F(RegistryStore, ConcurrentWritersReadersAndDeletersKeepTheTreeConsistent)
{
    registry_key root = create(test_key);
    std::atomic<int> fired{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const std::wstring name = L"k" + std::to_wstring((t * 7 + i) % 16);
                registry_key key;
                bool created = false;
                if (!NT_SUCCESS(registry_create(root, name, registry_view::native, false, false, &key, &created))) {
                    continue;
                }
                registry_watch_id id;
                registry_watch_add(key, true, 0x5, [&] { ++fired; }, &id);
                DWORD value = static_cast<DWORD>(i);
                registry_set_value(key, L"v", REG_DWORD, &value, sizeof(value));
                std::wstring listed;
                registry_enum_key(root, static_cast<ULONG>(i % 8), &listed);
                if (i % 3 == t % 3) {
                    registry_delete_key(key);
                }
                registry_watch_cancel(id, false);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    registry_key_info info;
    ASSERT_EQ(STATUS_SUCCESS, registry_query_key(root, &info));
    EXPECT_LE(info.subkeys, 16u);
    for (ULONG i = 0; i < info.subkeys; ++i) {
        std::wstring name;
        ASSERT_EQ(STATUS_SUCCESS, registry_enum_key(root, i, &name));
        registry_key child;
        EXPECT_EQ(STATUS_SUCCESS, registry_open(root, name, registry_view::native, &child));
        EXPECT_FALSE(registry_key_deleted(child));
    }
    EXPECT_GT(fired.load(), 0);
}

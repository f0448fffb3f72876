// Pool accounting, leak reports, failure injection and lookaside lists.
#include "KernelTestFixture.h"
#include <functional>
#include <stdunk.h>

using namespace kernel_test;

namespace {

struct PoolTests : KernelTest {};

constexpr ULONG tag_a = tag("Abcd");
constexpr ULONG tag_b = tag("Wxyz");

} // namespace

TEST_F(PoolTests, BlocksAreCountedByTagUntilFreed)
{
    void *a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, tag_a);
    void *b = ExAllocatePoolWithTag(NonPagedPool, 20, tag_a);
    void *c = ExAllocatePoolWithTag(PagedPool, 8, tag_b);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(0u, reinterpret_cast<ULONG_PTR>(a) % 16);
    EXPECT_EQ(2u, platform::pool_outstanding_blocks(tag_a));
    EXPECT_EQ(120u, platform::pool_outstanding_bytes(tag_a));
    EXPECT_EQ(3u, platform::pool_outstanding_blocks());
    EXPECT_EQ(1u, platform::pool_outstanding_blocks_of_type(NonPagedPool, tag_a));
    EXPECT_EQ(1u, platform::pool_outstanding_blocks_of_type(NonPagedPoolNx));
    EXPECT_EQ(0u, platform::pool_outstanding_blocks_of_type(PagedPool, tag_a));
    ExFreePoolWithTag(a, tag_a);
    ExFreePool(b);
    ExFreePoolWithTag(c, tag_b);
    EXPECT_EQ(0u, platform::pool_outstanding_blocks());
}

// A kit object whose constructor sets nothing: what it holds is what the allocation left.
struct UnsetKitObject : CUnknown {
    UnsetKitObject() : CUnknown(nullptr) {}
    UCHAR bytes[40];
};

TEST_F(PoolTests, FreshBlocksHoldTheFillPatternUnlessTheCallZeroes)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 48, tag_a, 2);
    struct row {
        const char *call;
        UCHAR expected;
        std::function<UCHAR *()> allocate;
        std::function<void(UCHAR *)> release;
    };
    auto free_pool = [](UCHAR *p) { ExFreePool(p); };
    UnsetKitObject *kit = nullptr;
    const UCHAR fill = platform::pool_fresh_fill;
    const row rows[] = {
        {"ExAllocatePoolWithTag", fill,
         [] { return static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPoolNx, 40, tag_a)); }, free_pool},
        {"ExAllocatePool", fill, [] { return static_cast<UCHAR *>(ExAllocatePool(PagedPool, 40)); }, free_pool},
        {"ExAllocatePool2 uninitialized", fill,
         [] { return static_cast<UCHAR *>(ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, 40, tag_a)); },
         free_pool},
        {"lookaside list", fill, [&] { return static_cast<UCHAR *>(ExAllocateFromNPagedLookasideList(&list)); },
         [&](UCHAR *p) { ExFreeToNPagedLookasideList(&list, p); }},
        {"kit operator new", fill, [&] { return (kit = new (NonPagedPoolNx, tag_a) UnsetKitObject())->bytes; },
         [&](UCHAR *) { delete kit; }},
        {"ExAllocatePoolZero", 0, [] { return static_cast<UCHAR *>(ExAllocatePoolZero(NonPagedPoolNx, 40, tag_a)); },
         free_pool},
        {"ExAllocatePool2", 0, [] { return static_cast<UCHAR *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 40, tag_a)); },
         free_pool},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.call);
        UCHAR *p = r.allocate();
        ASSERT_NE(nullptr, p);
        for (int i = 0; i < 40; ++i) {
            ASSERT_EQ(r.expected, p[i]) << "byte " << i;
        }
        r.release(p);
    }
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(0u, platform::pool_outstanding_blocks(tag_a));
}

TEST_F(PoolTests, LeakIsReportedWithTagSizeAndCountForTheAllocatingModule)
{
    void *blocks[] = {ExAllocatePoolWithTag(NonPagedPoolNx, 64, tag_a), ExAllocatePoolWithTag(NonPagedPoolNx, 64, tag_a),
                      ExAllocatePoolWithTag(NonPagedPoolNx, 32, tag_b)};
    const auto leaks = platform::pool_leaks(this_executable());
    ASSERT_EQ(2u, leaks.size());
    EXPECT_EQ(tag_a, leaks[0].tag);
    EXPECT_EQ(64u, leaks[0].size);
    EXPECT_EQ(2u, leaks[0].count);
    EXPECT_EQ(tag_b, leaks[1].tag);
    EXPECT_EQ(32u, leaks[1].size);
    EXPECT_EQ(1u, leaks[1].count);
    EXPECT_TRUE(platform::pool_leaks("/nonexistent/other_driver.so").empty());
    const std::string report = platform::pool_leak_report(this_executable());
    EXPECT_NE(std::string::npos, report.find("tag 'Abcd' size 64 count 2")) << report;
    EXPECT_NE(std::string::npos, report.find("tag 'Wxyz' size 32 count 1")) << report;
    for (void *block : blocks) {
        ExFreePool(block);
    }
    EXPECT_TRUE(platform::pool_leaks(this_executable()).empty());
    EXPECT_EQ("", platform::pool_leak_report(this_executable()));
    platform::pool_verify_unload(this_executable());
}

TEST_F(PoolTests, NthAllocationFailsOnce)
{
    platform::pool_fail_nth(2);
    void *first = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag_a);
    void *second = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag_a);
    void *third = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, tag_a);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, second);
    EXPECT_NE(nullptr, third);
    EXPECT_EQ(2u, platform::pool_outstanding_blocks(tag_a));
    ExFreePool(first);
    ExFreePool(third);
}

TEST_F(PoolTests, TagFailureHitsEveryAllocationWithThatTagUntilCleared)
{
    platform::pool_fail_tag(tag_b);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag_b));
    EXPECT_EQ(nullptr, ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, tag_b));
    void *other = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag_a);
    EXPECT_NE(nullptr, other);
    ExFreePool(other);
    platform::pool_fail_tag(0);
    void *again = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag_b);
    EXPECT_NE(nullptr, again);
    ExFreePool(again);
}

TEST_F(PoolTests, BootClearsInjectedFailures)
{
    platform::pool_fail_tag(tag_a);
    platform::pool_fail_nth(1);
    platform::machine_shutdown();
    platform::machine_boot();
    void *p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag_a);
    EXPECT_NE(nullptr, p);
    ExFreePool(p);
}

TEST_F(PoolTests, NonPagedPoolCanBeAllocatedAtDispatchLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void *p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag_a);
    EXPECT_NE(nullptr, p);
    ExFreePoolWithTag(p, tag_a);
    KeLowerIrql(old);
}

TEST_F(PoolTests, LookasideListKeepsDepthEntriesAndFreesTheRestToPool)
{
    NPAGED_LOOKASIDE_LIST list;
    const ULONG cachedBefore = platform::pool_lookaside_blocks();
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 48, tag_a, 2);
    void *entries[4];
    for (void *&entry : entries) {
        entry = ExAllocateFromNPagedLookasideList(&list);
        ASSERT_NE(nullptr, entry);
    }
    EXPECT_EQ(4u, platform::pool_outstanding_blocks(tag_a));
    EXPECT_EQ(4u, list.L.AllocateMisses);
    for (void *entry : entries) {
        ExFreeToNPagedLookasideList(&list, entry);
    }
    EXPECT_EQ(2u, platform::pool_outstanding_blocks(tag_a)) << "two kept, two freed to pool";
    EXPECT_EQ(cachedBefore + 2, platform::pool_lookaside_blocks());
    EXPECT_EQ(2u, list.L.FreeMisses);
    EXPECT_EQ(4u, list.L.TotalFrees);

    void *reused1 = ExAllocateFromNPagedLookasideList(&list);
    void *reused2 = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(4u, list.L.AllocateMisses) << "both came from the list";
    EXPECT_EQ(2u, platform::pool_outstanding_blocks(tag_a));
    EXPECT_EQ(cachedBefore, platform::pool_lookaside_blocks());
    ExFreeToNPagedLookasideList(&list, reused1);
    ExFreeToNPagedLookasideList(&list, reused2);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(0u, platform::pool_outstanding_blocks(tag_a));
    EXPECT_EQ(cachedBefore, platform::pool_lookaside_blocks());
}

namespace {

int g_custom_allocs = 0;
int g_custom_frees = 0;

PVOID custom_allocate(POOL_TYPE type, SIZE_T size, ULONG pool_tag)
{
    ++g_custom_allocs;
    return ExAllocatePoolWithTag(type, size, pool_tag);
}

VOID custom_free(PVOID buffer)
{
    ++g_custom_frees;
    ExFreePool(buffer);
}

} // namespace

TEST_F(PoolTests, LookasideListUsesTheOwnersRoutinesAndDefaultDepth)
{
    g_custom_allocs = 0;
    g_custom_frees = 0;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, custom_allocate, custom_free, 0, 4, tag_b, 0);
    EXPECT_GE(list.L.Size, sizeof(SLIST_ENTRY)) << "entries must hold the list link";
    void *entries[6];
    for (void *&entry : entries) {
        entry = ExAllocateFromNPagedLookasideList(&list);
    }
    for (void *entry : entries) {
        ExFreeToNPagedLookasideList(&list, entry);
    }
    EXPECT_EQ(6, g_custom_allocs);
    EXPECT_EQ(2, g_custom_frees) << "the default depth keeps four";
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(6, g_custom_frees);
}

TEST_F(PoolTests, LookasideAllocationFailsWhenPoolFails)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, tag_a, 4);
    platform::pool_fail_tag(tag_a);
    EXPECT_EQ(nullptr, ExAllocateFromNPagedLookasideList(&list));
    platform::pool_fail_reset();
    ExDeleteNPagedLookasideList(&list);
}

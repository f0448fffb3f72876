// The dispatcher core: wait results, side effects, abandonment, alertable waits and the
// manual machine clock.
#include <gtest/gtest.h>
#include <platform/clock.h>
#include <platform/dispatcher.h>
#include <platform/thread.h>

using namespace platform;

namespace {

struct ManualClock : ::testing::Test {
    void SetUp() override { clock_reset(); }
    void TearDown() override { clock_reset(); }
};

} // namespace

TEST(Dispatcher, WaitAnyReturnsLowestSignalledIndex)
{
    DISPATCHER_HEADER a, b, c;
    dispatcher_init(&a, notification_event, 0);
    dispatcher_init(&b, notification_event, 1);
    dispatcher_init(&c, notification_event, 1);
    DISPATCHER_HEADER *objects[] = {&a, &b, &c};
    LONGLONG deadline = clock_now();
    EXPECT_EQ(STATUS_WAIT_0 + 1, dispatcher_wait(3, objects, false, &deadline, false));
    EXPECT_EQ(1, dispatcher_read_state(&b)); // a notification event stays signalled
}

TEST(Dispatcher, SynchronizationEventWakesOneWaitAndResets)
{
    DISPATCHER_HEADER e;
    dispatcher_init(&e, synchronization_event, 1);
    DISPATCHER_HEADER *objects[] = {&e};
    LONGLONG deadline = clock_now();
    EXPECT_EQ(STATUS_WAIT_0, dispatcher_wait(1, objects, false, &deadline, false));
    EXPECT_EQ(0, dispatcher_read_state(&e));
    EXPECT_EQ(STATUS_TIMEOUT, dispatcher_wait(1, objects, false, &deadline, false));
}

TEST(Dispatcher, WaitAllTakesNothingUntilEveryObjectIsReady)
{
    DISPATCHER_HEADER sem, ev;
    dispatcher_init(&sem, semaphore, 1, 5);
    dispatcher_init(&ev, notification_event, 0);
    DISPATCHER_HEADER *objects[] = {&sem, &ev};
    LONGLONG deadline = clock_now();
    EXPECT_EQ(STATUS_TIMEOUT, dispatcher_wait(2, objects, true, &deadline, false));
    EXPECT_EQ(1, dispatcher_read_state(&sem));
    dispatcher_set_event(&ev);
    EXPECT_EQ(STATUS_WAIT_0, dispatcher_wait(2, objects, true, &deadline, false));
    EXPECT_EQ(0, dispatcher_read_state(&sem));
}

TEST(Dispatcher, SemaphoreReleaseBeyondLimitFailsAndKeepsCount)
{
    DISPATCHER_HEADER sem;
    dispatcher_init(&sem, semaphore, 2, 3);
    LONG previous = -1;
    EXPECT_EQ(STATUS_SEMAPHORE_LIMIT_EXCEEDED, dispatcher_release_semaphore(&sem, 2, &previous));
    EXPECT_EQ(-1, previous);
    EXPECT_EQ(STATUS_SUCCESS, dispatcher_release_semaphore(&sem, 1, &previous));
    EXPECT_EQ(2, previous);
    EXPECT_EQ(3, dispatcher_read_state(&sem));
}

TEST(Dispatcher, MutantIsRecursiveForItsOwnerAndRefusedToOthers)
{
    DISPATCHER_HEADER m;
    dispatcher_init(&m, mutant, 1);
    DISPATCHER_HEADER *objects[] = {&m};
    LONGLONG deadline = clock_now();
    ASSERT_EQ(STATUS_WAIT_0, dispatcher_wait(1, objects, false, &deadline, false));
    ASSERT_EQ(STATUS_WAIT_0, dispatcher_wait(1, objects, false, &deadline, false));

    NTSTATUS other = STATUS_SUCCESS;
    NTSTATUS other_release = STATUS_SUCCESS;
    thread *t = thread_start([&] {
        LONGLONG now = clock_now();
        other = dispatcher_wait(1, objects, false, &now, false);
        other_release = dispatcher_release_mutant(&m, nullptr);
    }, nullptr, false);
    DISPATCHER_HEADER *th[] = {&t->header};
    ASSERT_EQ(STATUS_WAIT_0, dispatcher_wait(1, th, false, nullptr, false));
    thread_dereference(t);
    EXPECT_EQ(STATUS_TIMEOUT, other);
    EXPECT_EQ(STATUS_MUTANT_NOT_OWNED, other_release);

    LONG previous = 0;
    EXPECT_EQ(STATUS_SUCCESS, dispatcher_release_mutant(&m, &previous));
    EXPECT_EQ(2, previous);
    EXPECT_EQ(STATUS_SUCCESS, dispatcher_release_mutant(&m, &previous));
    EXPECT_EQ(1, dispatcher_read_state(&m));
}

TEST(Dispatcher, MutantOwnedByEndedThreadIsAbandonedToNextWaiter)
{
    DISPATCHER_HEADER m;
    dispatcher_init(&m, mutant, 1);
    DISPATCHER_HEADER *objects[] = {&m};
    thread *t = thread_start([&] { dispatcher_wait(1, objects, false, nullptr, false); }, nullptr, false);
    DISPATCHER_HEADER *th[] = {&t->header};
    ASSERT_EQ(STATUS_WAIT_0, dispatcher_wait(1, th, false, nullptr, false));
    thread_dereference(t);
    LONGLONG deadline = clock_now();
    EXPECT_EQ(STATUS_ABANDONED_WAIT_0, dispatcher_wait(1, objects, false, &deadline, false));
    EXPECT_EQ(STATUS_SUCCESS, dispatcher_release_mutant(&m, nullptr));
    EXPECT_EQ(STATUS_WAIT_0, dispatcher_wait(1, objects, false, &deadline, false));
    EXPECT_EQ(STATUS_SUCCESS, dispatcher_release_mutant(&m, nullptr));
}

TEST(Dispatcher, AlertableWaitRunsQueuedApcsAndReturnsUserApc)
{
    DISPATCHER_HEADER e;
    dispatcher_init(&e, notification_event, 0);
    DISPATCHER_HEADER *objects[] = {&e};
    int ran = 0;
    thread_queue_user_apc(current_thread(), [&] { ++ran; });
    LONGLONG deadline = clock_now();
    EXPECT_EQ(STATUS_TIMEOUT, dispatcher_wait(1, objects, false, &deadline, false));
    EXPECT_EQ(0, ran);
    EXPECT_EQ(STATUS_USER_APC, dispatcher_wait(1, objects, false, nullptr, true));
    EXPECT_EQ(1, ran);
}

TEST_F(ManualClock, TimedWaitFollowsTheManualClock)
{
    clock_use_manual(true);
    const LONGLONG start = clock_now();
    DISPATCHER_HEADER e;
    dispatcher_init(&e, notification_event, 0);
    NTSTATUS result = STATUS_PENDING;
    thread *t = thread_start([&] {
        DISPATCHER_HEADER *objects[] = {&e};
        LONGLONG deadline = start + 10 * ticks_per_second;
        result = dispatcher_wait(1, objects, false, &deadline, false);
    }, nullptr, false);
    clock_advance(9 * ticks_per_second);
    DISPATCHER_HEADER *th[] = {&t->header};
    LONGLONG real_check = clock_now();
    EXPECT_EQ(STATUS_TIMEOUT, dispatcher_wait(1, th, false, &real_check, false)); // still waiting
    clock_advance(1 * ticks_per_second);
    EXPECT_EQ(STATUS_WAIT_0, dispatcher_wait(1, th, false, nullptr, false));
    thread_dereference(t);
    EXPECT_EQ(STATUS_TIMEOUT, result);
    EXPECT_EQ(start + 10 * ticks_per_second, clock_now());
}

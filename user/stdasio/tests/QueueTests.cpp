// OVQUEUE: interleaving, fullness and emptiness with their events, wrap-around, refusals, and
// one producer and one consumer on their own threads.
#include <gtest/gtest.h>
#include <windows.h>
#include <memory>
#include <thread>
#include <vector>
#include <sim/machine.h>
#include "Queue.h"

namespace {

const DWORD Frames = 8;

BOOL IsSignalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_machine = std::make_unique<sim::machine>();
        m_queue = std::make_unique<OVQUEUE>();
        for (DWORD i = 0; i < Frames; i++) {
            m_left[i] = (SHORT)(100 + i);
            m_right[i] = (SHORT)(-100 - (SHORT)i);
        }
    }
    void TearDown() override
    {
        m_queue.reset();
        m_machine.reset();
    }
    HANDLE spaceEvent()
    {
        HANDLE event = nullptr;
        EXPECT_EQ(m_queue->getSpaceEvent(&event), 1u);
        return event;
    }

    std::unique_ptr<sim::machine> m_machine;
    std::unique_ptr<OVQUEUE> m_queue;
    SHORT m_left[Frames];
    SHORT m_right[Frames];
};

TEST_F(QueueTest, UninitialisedQueueRefusesEverything)
{
    SHORT block[2 * Frames];
    HANDLE event = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(m_queue->push(m_left, m_right, Frames), 0u);
    EXPECT_EQ(m_queue->pushSilence(), 0u);
    EXPECT_EQ(m_queue->pop(block), 0u);
    EXPECT_EQ(m_queue->getSpaceEvent(&event), 0u);
    EXPECT_EQ(event, reinterpret_cast<HANDLE>(0x1234));
    EXPECT_EQ(m_queue->init(0, Frames), 0u);
    EXPECT_EQ(m_queue->init(2, 0), 0u);
    m_queue->flush();
    EXPECT_EQ(m_queue->getSpaceEvent(&event), 0u);
}

TEST_F(QueueTest, PushInterleavesAndPopReturnsTheBlock)
{
    ASSERT_EQ(m_queue->init(2, Frames), 1u);
    EXPECT_EQ(m_queue->blockBytes(), Frames * 4);
    const HANDLE space = spaceEvent();
    EXPECT_TRUE(IsSignalled(space));
    EXPECT_FALSE(IsSignalled(m_queue->dataEvent()));

    ASSERT_EQ(m_queue->push(m_left, m_right, Frames), 1u);
    EXPECT_TRUE(IsSignalled(m_queue->dataEvent()));
    EXPECT_TRUE(IsSignalled(space));

    SHORT block[2 * Frames + 2];
    block[2 * Frames] = 0x7777;
    ASSERT_EQ(m_queue->pop(block), 1u);
    for (DWORD i = 0; i < Frames; i++) {
        EXPECT_EQ(block[2 * i], m_left[i]);
        EXPECT_EQ(block[2 * i + 1], m_right[i]);
    }
    EXPECT_EQ(block[2 * Frames], 0x7777);
    EXPECT_FALSE(IsSignalled(m_queue->dataEvent()));
    EXPECT_TRUE(IsSignalled(space));
    EXPECT_EQ(m_queue->pop(block), 0u);
}

TEST_F(QueueTest, FullQueueRefusesAndResetsTheSpaceEventUntilAPopOrAFlush)
{
    ASSERT_EQ(m_queue->init(2, Frames), 1u);
    const HANDLE space = spaceEvent();
    ASSERT_EQ(m_queue->push(m_left, m_right, Frames), 1u);
    ASSERT_EQ(m_queue->pushSilence(), 1u);
    EXPECT_FALSE(IsSignalled(space));
    EXPECT_EQ(m_queue->push(m_left, m_right, Frames), 0u);
    EXPECT_EQ(m_queue->pushSilence(), 0u);
    EXPECT_FALSE(IsSignalled(space));
    EXPECT_EQ(m_queue->filled(), 2u);

    SHORT block[2 * Frames];
    ASSERT_EQ(m_queue->pop(block), 1u);
    EXPECT_EQ(block[0], m_left[0]);
    EXPECT_TRUE(IsSignalled(space));
    EXPECT_TRUE(IsSignalled(m_queue->dataEvent()));

    // A flush drops what is queued and makes room for a whole queue again.
    ASSERT_EQ(m_queue->pushSilence(), 1u);
    EXPECT_FALSE(IsSignalled(space));
    m_queue->flush();
    EXPECT_EQ(m_queue->filled(), 0u);
    EXPECT_TRUE(IsSignalled(space));
    EXPECT_FALSE(IsSignalled(m_queue->dataEvent()));
    EXPECT_EQ(m_queue->pop(block), 0u);
    m_left[0] = 41;
    ASSERT_EQ(m_queue->push(m_left, m_right, Frames), 1u);
    ASSERT_EQ(m_queue->pushSilence(), 1u);
    ASSERT_EQ(m_queue->pop(block), 1u);
    EXPECT_EQ(block[0], 41);
}

TEST_F(QueueTest, PushRefusesOtherFrameCountsAndNullChannels)
{
    ASSERT_EQ(m_queue->init(2, Frames), 1u);
    EXPECT_EQ(m_queue->push(m_left, m_right, Frames - 1), 0u);
    EXPECT_EQ(m_queue->push(m_left, m_right, Frames + 1), 0u);
    EXPECT_EQ(m_queue->push(nullptr, m_right, Frames), 0u);
    EXPECT_EQ(m_queue->push(m_left, nullptr, Frames), 0u);
    EXPECT_EQ(m_queue->pop(nullptr), 0u);
    EXPECT_EQ(m_queue->filled(), 0u);
    EXPECT_FALSE(IsSignalled(m_queue->dataEvent()));
}

TEST_F(QueueTest, BlocksWrapInOrderAndSilenceOverwritesOldData)
{
    ASSERT_EQ(m_queue->init(2, Frames), 1u);
    SHORT block[2 * Frames];
    for (int round = 0; round < 7; round++) {
        SCOPED_TRACE(round);
        m_left[0] = (SHORT)round;
        ASSERT_EQ(m_queue->push(m_left, m_right, Frames), 1u);
        ASSERT_EQ(m_queue->pushSilence(), 1u);
        ASSERT_EQ(m_queue->pop(block), 1u);
        EXPECT_EQ(block[0], (SHORT)round);
        ASSERT_EQ(m_queue->pop(block), 1u);
        for (SHORT sample : block) {
            ASSERT_EQ(sample, 0);
        }
    }
}

// The engine waits for space and pushes; the stream thread pops when data is there. Every
// block arrives once and in order.
TEST_F(QueueTest, ProducerAndConsumerThreadsPassEveryBlockInOrder)
{
    ASSERT_EQ(m_queue->init(2, Frames), 1u);
    const HANDLE space = spaceEvent();
    const HANDLE data = m_queue->dataEvent();
    const int Blocks = 2000;
    std::vector<SHORT> received;
    std::thread consumer([&] {
        SHORT block[2 * Frames];
        while ((int)received.size() < Blocks) {
            if (WaitForSingleObject(data, 10000) != WAIT_OBJECT_0) {
                return;
            }
            if (m_queue->pop(block)) {
                for (DWORD i = 1; i < Frames; i++) {
                    if (block[2 * i] != block[0] || block[2 * i + 1] != (SHORT)~block[0]) {
                        return;
                    }
                }
                received.push_back(block[0]);
            }
        }
    });
    SHORT left[Frames];
    SHORT right[Frames];
    for (int n = 0; n < Blocks; n++) {
        for (DWORD i = 0; i < Frames; i++) {
            left[i] = (SHORT)n;
            right[i] = (SHORT)~n;
        }
        ASSERT_EQ(WaitForSingleObject(space, 10000), (DWORD)WAIT_OBJECT_0);
        ASSERT_EQ(m_queue->push(left, right, Frames), 1u) << n;
    }
    consumer.join();
    ASSERT_EQ((int)received.size(), Blocks);
    for (int n = 0; n < Blocks; n++) {
        ASSERT_EQ(received[n], (SHORT)n);
    }
}

} // namespace

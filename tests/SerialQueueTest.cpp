#include "Foundation/SerialQueue.h"

#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(SerialQueue, RunsTasksOneAtATimeInSubmissionOrder)
{
    SerialQueue queue("app.marovant.tessaryn-helper.test");
    std::vector<int> order;
    std::atomic<int> running { 0 };
    bool overlapped = false;
    for (int i = 0; i < 1000; ++i)
        queue.async([&, i] {
            if (running.fetch_add(1) != 0)
                overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
        });
    queue.sync([] {});
    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncWaitsForEarlierTasksAndRunsOnTheNamedWorker)
{
    SerialQueue queue("app.marovant.tessaryn-helper.server.stderr");
    std::atomic<bool> earlierDone { false };
    queue.async([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        earlierDone = true;
    });
    QString threadName;
    bool onOtherThread = false;
    queue.sync([&] {
        threadName = QThread::currentThread()->objectName();
        onOtherThread = std::this_thread::get_id() != std::thread::id();
    });
    EXPECT_TRUE(earlierDone);
    EXPECT_TRUE(onOtherThread);
    EXPECT_EQ(threadName, "server.stderr");
    EXPECT_EQ(queue.label(), "app.marovant.tessaryn-helper.server.stderr");
}

TEST(SerialQueue, DestructionRunsWhatIsStillQueued)
{
    std::atomic<int> ran { 0 };
    {
        SerialQueue queue("app.marovant.tessaryn-helper.test");
        queue.async([] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
        for (int i = 0; i < 100; ++i)
            queue.async([&] { ++ran; });
    }
    EXPECT_EQ(ran, 100);
}

TEST(SerialQueue, DrainGivesUpAtItsDeadline)
{
    SerialQueue queue("app.marovant.tessaryn-helper.test");
    std::atomic<bool> release { false };
    queue.async([&] {
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    EXPECT_FALSE(queue.drain(std::chrono::steady_clock::now() + std::chrono::milliseconds(30)));
    release = true;
    EXPECT_TRUE(queue.drain(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
}

#include "Supervision/StderrTail.h"

#include <gtest/gtest.h>

#include <thread>

TEST(StderrTail, KeepsOnlyTheLast4096Bytes)
{
    StderrTail tail;
    EXPECT_EQ(tail.snapshot(), "");
    QByteArray big(10000, 'a');
    big.replace(10000 - 4096, 1, "b");
    tail.append(big);
    const QString kept = tail.snapshot();
    EXPECT_EQ(kept.size(), 4096);
    EXPECT_TRUE(kept.startsWith('b'));

    tail.clear();
    tail.append(QByteArray(4095, 'x'));
    tail.append("y");
    EXPECT_EQ(tail.snapshot(), QString(4095, 'x') + "y");
    tail.append("z"); // one byte more drops the oldest
    EXPECT_EQ(tail.snapshot(), QString(4094, 'x') + "yz");
}

TEST(StderrTail, InvalidOrCutUtf8GivesTheEmptyText)
{
    StderrTail tail;
    tail.append("\xff EADDRINUSE");
    EXPECT_EQ(tail.snapshot(), "");

    tail.clear();
    // A three-byte character whose first byte is trimmed away.
    tail.append(QByteArray("\xE2\x80\xA6") + QByteArray(4094, 'a'));
    EXPECT_EQ(tail.snapshot(), "");

    tail.clear();
    tail.append("Error: listen EADDRINUSE: address already in use 127.0.0.1:9876\n");
    EXPECT_TRUE(tail.snapshot().contains("EADDRINUSE"));
}

TEST(StderrTail, ClearAndSnapshotSeeEveryEarlierAppendFromAnyThread)
{
    StderrTail tail;
    std::thread writer([&] {
        for (int i = 0; i < 1000; ++i)
            tail.append("0123456789");
    });
    writer.join();
    EXPECT_EQ(tail.snapshot().size(), 4096);
    tail.clear();
    EXPECT_EQ(tail.snapshot(), "");
}

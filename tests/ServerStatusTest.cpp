#include "Supervision/ServerStatus.h"

#include <gtest/gtest.h>

TEST(ServerStatus, HeaderTextsAreExact)
{
    EXPECT_EQ(ServerStatus::restarting(1).menuHeaderText().toUtf8(), "Restarting (attempt 1)\xE2\x80\xA6");
    EXPECT_EQ(ServerStatus::restarting(0).menuHeaderText(), QString::fromUtf8("Restarting (attempt 0)\u2026"));
    EXPECT_EQ(ServerStatus::restarting(-12).menuHeaderText(), QString::fromUtf8("Restarting (attempt -12)\u2026"));
    EXPECT_EQ(ServerStatus::restarting(1234567).menuHeaderText(), QString::fromUtf8("Restarting (attempt 1234567)\u2026"));
    EXPECT_EQ(ServerStatus::preflightFailed("").menuHeaderText(), "Pre-flight failed: ");
    EXPECT_EQ(ServerStatus::preflightFailed("server.js not found at /x").menuHeaderText(),
              "Pre-flight failed: server.js not found at /x");
    EXPECT_EQ(ServerStatus::running().menuHeaderText(), "Server running on :9876");
    EXPECT_EQ(ServerStatus::stuck().menuHeaderText().toUtf8(), "Server stuck \xE2\x80\x94 repeated crashes");
    EXPECT_EQ(ServerStatus::portInUse().menuHeaderText(), "Port 9876 in use");
    EXPECT_EQ(ServerStatus::stopped().menuHeaderText(), "Server stopped");
    EXPECT_EQ(ServerStatus::idle().menuHeaderText(), "Idle (Premiere not running)");
}

TEST(ServerStatus, EqualityComparesCaseAndPayload)
{
    EXPECT_EQ(ServerStatus::restarting(2), ServerStatus::restarting(2));
    EXPECT_NE(ServerStatus::restarting(2), ServerStatus::restarting(3));
    EXPECT_EQ(ServerStatus::preflightFailed("node " + QString("binary")), ServerStatus::preflightFailed("node binary"));
    EXPECT_NE(ServerStatus::preflightFailed("a"), ServerStatus::preflightFailed("b"));
    EXPECT_NE(ServerStatus::stopped(), ServerStatus::idle());
    EXPECT_NE(ServerStatus::stuck(), ServerStatus::restarting(6));
    EXPECT_EQ(ServerStatus::running(), ServerStatus::running());
}

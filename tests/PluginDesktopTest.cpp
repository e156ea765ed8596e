#include "Adapters/Qt/QtDesktop.h"

#include <gtest/gtest.h>

// Test programs run without a GUI application, as the helper does without a display.
TEST(QtDesktopWithoutDisplay, AnAlertIsOneLineOnStandardErrorAndReturnsAtOnce)
{
    QtDesktop desktop;
    testing::internal::CaptureStderr();
    desktop.alert("Quit Premiere first", "Quit Premiere, then open Tessaryn Helper again — now → later…");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "alert: Quit Premiere first: Quit Premiere, then open Tessaryn Helper again — now → later…\n");
}

TEST(QtDesktopWithoutDisplay, OpeningWithoutAGuiApplicationIsAHarmlessNoOp)
{
    QtDesktop desktop;
    testing::internal::CaptureStderr();
    desktop.open(QUrl::fromLocalFile("/Applications/Utilities/Adobe Creative Cloud/ACC/Creative Cloud.app"));
    desktop.open(QUrl("https://tessaryn.app/docs/install"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

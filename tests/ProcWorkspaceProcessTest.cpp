#include "Adapters/Linux/ProcWorkspace.h"

#include "Foundation/EventLoopScheduler.h"
#include "RealProcesses.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// When the workspace first reported the given pid's launch and quit.
struct Timings {
    pid_t pid = 0;
    std::optional<Clock::time_point> launched;
    std::optional<Clock::time_point> terminated;
    QString identifier;

    explicit Timings(Workspace& workspace)
    {
        QObject::connect(&workspace, &Workspace::applicationLaunched, &workspace, [this](const RunningApplication& a) {
            if (a.pid == pid && !launched) {
                launched = Clock::now();
                identifier = a.applicationIdentifier;
            }
        });
        QObject::connect(&workspace, &Workspace::applicationTerminated, &workspace, [this](const RunningApplication& a) {
            if (a.pid == pid && !terminated)
                terminated = Clock::now();
        });
    }
};

bool lists(const Workspace& workspace, pid_t pid)
{
    for (const RunningApplication& application : workspace.runningApplications())
        if (application.pid == pid)
            return true;
    return false;
}

const ProcWorkspace::Options countChildren { .ownProcess = 0, .executor = {} }; // the stand-ins are our children

} // namespace

TEST(ProcWorkspaceRealProcesses, APremiereLaunchAndQuitAreEachReportedWithinOneSecond)
{
    EventLoopScheduler scheduler;
    ProcWorkspace workspace(scheduler, "/proc", countChildren);
    Timings timings(workspace);

    const auto started = Clock::now();
    PremiereStandIn child;
    timings.pid = child.pid();
    ASSERT_TRUE(waitFor([&] { return timings.launched.has_value(); }, 3s));
    EXPECT_LT(*timings.launched - started, 1s);
    EXPECT_EQ(timings.identifier, "com.adobe.PremierePro");
    EXPECT_TRUE(lists(workspace, child.pid()));

    const auto quit = Clock::now();
    child.quit();
    ASSERT_TRUE(waitFor([&] { return timings.terminated.has_value(); }, 3s));
    EXPECT_LT(*timings.terminated - quit, 1s);
    EXPECT_FALSE(lists(workspace, timings.pid));
}

TEST(ProcWorkspaceRealProcesses, AnOrdinaryProcessIsNoApplicationAndAStandInRunningBeforeIsListedAtOnce)
{
    PremiereStandIn standIn;
    EventLoopScheduler scheduler;
    ProcWorkspace workspace(scheduler, "/proc", countChildren);
    Timings timings(workspace);

    // Nothing inherited may name an application.
    ProcessSpec ordinary;
    ordinary.program = "/bin/sleep";
    ordinary.arguments = { "600" };
    ordinary.environment = QStringList { "PATH=/usr/bin:/bin" };
    Background child(ordinary);
    timings.pid = child.process().pid();
    waitFor([] { return false; }, 1500ms);
    EXPECT_FALSE(timings.launched.has_value());
    EXPECT_FALSE(lists(workspace, timings.pid));
    // By now the stand-in has long reached its final program.
    EXPECT_TRUE(lists(ProcWorkspace(scheduler, "/proc", countChildren), standIn.pid()));
}

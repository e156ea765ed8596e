#include "Platform/Linux/ProcWorkspace.h"

#include "Foundation/ChildProcess.h"
#include "Foundation/EventLoopScheduler.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <optional>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A real child, killed and reaped when the test ends however it ends.
class RunningChild {
public:
    explicit RunningChild(const QStringList& command)
    {
        ProcessSpec spec;
        spec.program = "/usr/bin/env";
        spec.arguments = command;
        // Nothing inherited may name an application.
        spec.environment = QStringList { "PATH=/usr/bin:/bin" };
        spec.nullStandardInput = true;
        child_ = ChildProcess::start(spec, {});
    }
    ~RunningChild() { kill(); }
    RunningChild(const RunningChild&) = delete;
    RunningChild& operator=(const RunningChild&) = delete;
    pid_t pid() const { return child_->pid(); }
    void kill()
    {
        child_->sendSignal(SIGKILL);
        child_->waitForFinished(Clock::now() + 5s);
    }

private:
    std::shared_ptr<ChildProcess> child_;
};

std::unique_ptr<RunningChild> premiereStandIn()
{
    return std::make_unique<RunningChild>(QStringList { "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/com.adobe.PremierePro.desktop", "sleep", "600" });
}

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

} // namespace

TEST(ProcWorkspaceRealProcesses, APremiereLaunchAndQuitAreEachReportedWithinOneSecond)
{
    EventLoopScheduler scheduler;
    ProcWorkspace workspace(scheduler);
    Timings timings(workspace);

    const auto started = Clock::now();
    std::unique_ptr<RunningChild> child = premiereStandIn();
    timings.pid = child->pid();
    ASSERT_TRUE(waitFor([&] { return timings.launched.has_value(); }, 3s));
    EXPECT_LT(*timings.launched - started, 1s);
    EXPECT_EQ(timings.identifier, "com.adobe.PremierePro");
    EXPECT_TRUE(lists(workspace, child->pid()));

    const auto quit = Clock::now();
    child->kill();
    ASSERT_TRUE(waitFor([&] { return timings.terminated.has_value(); }, 3s));
    EXPECT_LT(*timings.terminated - quit, 1s);
    EXPECT_FALSE(lists(workspace, timings.pid));
}

TEST(ProcWorkspaceRealProcesses, AnOrdinaryProcessIsNoApplicationAndAStandInRunningBeforeIsListedAtOnce)
{
    const std::unique_ptr<RunningChild> standIn = premiereStandIn();
    EventLoopScheduler scheduler;
    ProcWorkspace workspace(scheduler);
    Timings timings(workspace);

    RunningChild child({ "sleep", "600" });
    timings.pid = child.pid();
    waitFor([] { return false; }, 1500ms);
    EXPECT_FALSE(timings.launched.has_value());
    EXPECT_FALSE(lists(workspace, child.pid()));
    // By now the stand-in has long reached its final program.
    EXPECT_TRUE(lists(ProcWorkspace(scheduler), standIn->pid()));
}

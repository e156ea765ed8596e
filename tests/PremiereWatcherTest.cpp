#include "Premiere/PremiereWatcher.h"

#include "FakeWorkspace.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const RunningApplication premiere { 501, "com.adobe.PremierePro" };
const RunningApplication secondPremiere { 502, "com.adobe.PremierePro" };
const RunningApplication finder { 300, "org.gnome.Nautilus" };
const RunningApplication terminal { 301, "org.gnome.Terminal" };
const RunningApplication anonymous { 302, "" };

const QString trueLine = "PremiereWatcher: isPremiereRunning = true";
const QString falseLine = "PremiereWatcher: isPremiereRunning = false";

// What the watcher announced, and what could be seen at the moment of each announcement.
struct Announcements {
    struct Seen {
        bool value;
        bool valueOfWatcher;
        int linesSoFar;
    };
    std::vector<Seen> seen;

    Announcements(PremiereWatcher& watcher, const LogCapture& capture)
    {
        QObject::connect(&watcher, &PremiereWatcher::isPremiereRunningChanged, &watcher,
                         [this, &watcher, &capture](bool value) {
                             seen.push_back({ value, watcher.isPremiereRunning(), int(capture.messages().size()) });
                         });
    }
};

} // namespace

TEST(PremiereWatcherStart, TheFirstScanDecidesAndOnlyTrueIsLoggedBeforeTheConstructorReturns)
{
    for (const bool withPremiere : { true, false }) {
        FakeWorkspace workspace(withPremiere ? QList<RunningApplication> { finder, premiere }
                                             : QList<RunningApplication> { finder, anonymous });
        LogCapture capture;
        PremiereWatcher watcher(workspace);
        EXPECT_EQ(watcher.isPremiereRunning(), withPremiere);
        EXPECT_EQ(capture.messages(), withPremiere ? QStringList { trueLine } : QStringList {});
        EXPECT_EQ(workspace.scans(), 1);
    }
}

TEST(PremiereWatcherEvents, OtherApplicationsComingAndGoingCauseNoScanAndNoChange)
{
    FakeWorkspace workspace;
    PremiereWatcher watcher(workspace);
    LogCapture capture;
    Announcements announcements(watcher, capture);

    workspace.launch(finder);
    workspace.launch(anonymous);
    workspace.quit(finder);
    workspace.launch(terminal);

    EXPECT_EQ(workspace.scans(), 1);
    EXPECT_FALSE(watcher.isPremiereRunning());
    EXPECT_TRUE(announcements.seen.empty());
    EXPECT_TRUE(capture.messages().isEmpty());
}

TEST(PremiereWatcherEvents, APremiereLaunchPublishesTrueThenWritesItsLine)
{
    FakeWorkspace workspace({ finder });
    PremiereWatcher watcher(workspace);
    LogCapture capture;
    Announcements announcements(watcher, capture);

    workspace.launch(premiere);

    EXPECT_TRUE(watcher.isPremiereRunning());
    ASSERT_EQ(announcements.seen.size(), 1u);
    EXPECT_TRUE(announcements.seen[0].value);
    EXPECT_TRUE(announcements.seen[0].valueOfWatcher); // changed before observers hear of it
    EXPECT_EQ(announcements.seen[0].linesSoFar, 0);     // the line follows the announcement
    EXPECT_EQ(capture.messages(), QStringList { trueLine });
}

TEST(PremiereWatcherEvents, ARepeatedLaunchScansAgainAndWritesNothing)
{
    FakeWorkspace workspace;
    PremiereWatcher watcher(workspace);
    workspace.launch(premiere);
    LogCapture capture;
    Announcements announcements(watcher, capture);
    const int scansBefore = workspace.scans();

    workspace.notifyLaunched(premiere);

    EXPECT_EQ(workspace.scans(), scansBefore + 1);
    EXPECT_TRUE(watcher.isPremiereRunning());
    EXPECT_TRUE(announcements.seen.empty());
    EXPECT_TRUE(capture.messages().isEmpty());
}

TEST(PremiereWatcherEvents, WhenOneOfTwoPremiereProcessesQuitsTheValueStaysTrue)
{
    FakeWorkspace workspace({ premiere, secondPremiere });
    PremiereWatcher watcher(workspace);
    LogCapture capture;
    Announcements announcements(watcher, capture);

    workspace.quit(premiere);
    EXPECT_TRUE(watcher.isPremiereRunning());
    EXPECT_TRUE(announcements.seen.empty());
    EXPECT_TRUE(capture.messages().isEmpty());

    workspace.quit(secondPremiere);
    EXPECT_FALSE(watcher.isPremiereRunning());
    ASSERT_EQ(announcements.seen.size(), 1u);
    EXPECT_FALSE(announcements.seen[0].value);
    EXPECT_EQ(capture.messages(), QStringList { falseLine });
}

TEST(PremiereWatcherEvents, TheScanDecidesNotTheNotification)
{
    FakeWorkspace workspace;
    PremiereWatcher watcher(workspace);
    LogCapture capture;

    // A Premiere launch that the list does not show changes nothing...
    workspace.notifyLaunched(premiere);
    EXPECT_FALSE(watcher.isPremiereRunning());
    // ...and a Premiere quit while another Premiere is listed finds that one.
    workspace.launch(secondPremiere);
    workspace.notifyTerminated(secondPremiere);
    EXPECT_TRUE(watcher.isPremiereRunning());
    EXPECT_EQ(capture.messages(), QStringList { trueLine });
}

TEST(PremiereWatcherRecognition, TheExactCaseSensitivePrefixCountsWhateverFollowsIt)
{
    FakeWorkspace workspace;
    PremiereWatcher watcher(workspace);
    LogCapture capture;
    workspace.launch({ 700, "com.adobe.premierepro" });
    workspace.launch({ 701, "COM.ADOBE.PREMIEREPRO" });
    EXPECT_FALSE(watcher.isPremiereRunning());
    EXPECT_EQ(workspace.scans(), 1); // not even a trigger
    EXPECT_TRUE(capture.messages().isEmpty());
    workspace.launch({ 600, "com.adobe.PremierePro.Beta" });
    EXPECT_TRUE(watcher.isPremiereRunning());

    FakeWorkspace goesOn({ { 601, "com.adobe.PremiereProX" } });
    EXPECT_TRUE(PremiereWatcher(goesOn).isPremiereRunning());
    FakeWorkspace others({ { 702, "com.Adobe.PremierePro" }, { 703, "x.com.adobe.PremierePro" }, { 704, "com.adobe.Premiere" } });
    EXPECT_FALSE(PremiereWatcher(others).isPremiereRunning());
}

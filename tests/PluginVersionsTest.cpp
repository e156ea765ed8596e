#include "Plugin/PluginInstaller.h"

#include "PluginTestSupport.h"
#include "TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

bool atLeast(const char* a, const char* b)
{
    return PluginInstaller::isVersion(QString::fromUtf8(a), QString::fromUtf8(b));
}

} // namespace

TEST(PluginVersionComparison, ComparesPartsNumerically)
{
    EXPECT_TRUE(atLeast("1.10", "1.9"));
    EXPECT_FALSE(atLeast("1.9", "1.10"));
    EXPECT_TRUE(atLeast("2.0", "1.99.99"));
    EXPECT_FALSE(atLeast("1.2", "1.2.1"));
    EXPECT_TRUE(atLeast("1.2.1", "1.2"));
}

TEST(PluginVersionComparison, MissingPartsCountAsZero)
{
    EXPECT_TRUE(atLeast("1.2", "1.2.0"));
    EXPECT_TRUE(atLeast("1.2.0", "1.2"));
    EXPECT_TRUE(atLeast("", "0"));
    EXPECT_TRUE(atLeast("0", ""));
    EXPECT_TRUE(atLeast("", ""));
    EXPECT_FALSE(atLeast("", "0.0.1"));
}

TEST(PluginVersionComparison, EmptyPartsAreDropped)
{
    EXPECT_TRUE(atLeast("1..2", "1.2"));
    EXPECT_TRUE(atLeast("1.2", "1..2"));
    EXPECT_FALSE(atLeast("1..2", "1.3"));
    EXPECT_TRUE(atLeast(".1.2.", "1.2"));
    EXPECT_TRUE(atLeast("1.2", ".1.2."));
}

TEST(PluginVersionComparison, PartsThatAreNotIntegersReadAsZero)
{
    EXPECT_FALSE(atLeast("1.2.3-rc1", "1.2.3"));
    EXPECT_TRUE(atLeast("1.2.3", "1.2.3-rc1"));
    EXPECT_FALSE(atLeast("1.+", "1.1"));  // a sign alone
    EXPECT_FALSE(atLeast("1. 2", "1.1")); // a space
    EXPECT_FALSE(atLeast("1.++2", "1.1"));
    EXPECT_FALSE(atLeast("1.2a", "1.1"));
    EXPECT_FALSE(atLeast("1.\u0663", "1.1")); // a digit, but not an ASCII one
    EXPECT_TRUE(atLeast("abc", "0"));
}

TEST(PluginVersionComparison, SignsAreRead)
{
    EXPECT_TRUE(atLeast("+2", "2"));
    EXPECT_TRUE(atLeast("2", "+2"));
    EXPECT_FALSE(atLeast("1.-1", "1.0"));
    EXPECT_TRUE(atLeast("1.0", "1.-1"));
    EXPECT_FALSE(atLeast("1", "+2"));
}

TEST(PluginVersionComparison, PartsBeyondSignedSixtyFourBitsReadAsZero)
{
    EXPECT_TRUE(atLeast("9223372036854775807", "9223372036854775806"));
    EXPECT_FALSE(atLeast("9223372036854775808", "1"));
    EXPECT_FALSE(atLeast("1.99999999999999999999999", "1.1"));
    EXPECT_FALSE(atLeast("-9223372036854775808", "-9223372036854775807"));
    EXPECT_TRUE(atLeast("-9223372036854775809", "-1")); // reads as 0
}

TEST(PluginVersionComparison, IdenticalTextsAreAlwaysAtLeastEachOther)
{
    for (const char* text : { "1.4.0", "x.y", "1..", "-", "9223372036854775808.1" })
        EXPECT_TRUE(atLeast(text, text)) << text;
}

TEST(PluginManifestVersion, ReadsTheVersionStringOfTheRootManifest)
{
    const ZipPackage package({ { "manifest.json", manifestWithVersion("\"1.4.0\"") }, { "index.html", "<p>" } });
    EXPECT_EQ(PluginInstaller::manifestVersion(package.path()), QString("1.4.0"));
}

TEST(PluginManifestVersion, KeepsTheVersionUntrimmed)
{
    const ZipPackage package({ { "manifest.json", manifestWithVersion("\"1.4.0 \"") } });
    EXPECT_EQ(PluginInstaller::manifestVersion(package.path()), QString("1.4.0 "));
}

TEST(PluginManifestVersion, AnswersNothingForAManifestThatIsMissingOrNotAsExpected)
{
    const std::map<QString, std::map<QString, QByteArray>> cases {
        { "no manifest", { { "index.html", "<p>" } } },
        { "manifest only in a subfolder", { { "sub/manifest.json", manifestWithVersion("\"1.4.0\"") } } },
        { "not JSON", { { "manifest.json", "version: 1.4.0" } } },
        { "top-level array", { { "manifest.json", R"([{"version": "1.4.0"}])" } } },
        { "top-level string", { { "manifest.json", R"("1.4.0")" } } },
        { "version a number", { { "manifest.json", manifestWithVersion("1.4") } } },
        { "version null", { { "manifest.json", manifestWithVersion("null") } } },
        { "version an object", { { "manifest.json", manifestWithVersion(R"({"v": "1.4.0"})") } } },
        { "version missing", { { "manifest.json", R"({"id": "5d1e93b0"})" } } },
        { "not UTF-8", { { "manifest.json", "{\"version\": \"1.4\xff\"}" } } },
    };
    for (const auto& [name, files] : cases) {
        const ZipPackage package(files);
        EXPECT_EQ(PluginInstaller::manifestVersion(package.path()), std::nullopt) << name.toStdString();
    }
}

TEST(PluginManifestVersion, AnswersNothingForAFileThatIsNoArchiveOrIsMissing)
{
    QTemporaryDir dir;
    writeFile(dir.path() + "/Tessaryn.ccx", manifestWithVersion("\"1.4.0\""));
    EXPECT_EQ(PluginInstaller::manifestVersion(dir.path() + "/Tessaryn.ccx"), std::nullopt);
    EXPECT_EQ(PluginInstaller::manifestVersion(dir.path() + "/missing.ccx"), std::nullopt);
}

TEST(PluginInstalledVersions, NoExternalFolderGivesNoVersions)
{
    ScopedHome home;
    EXPECT_TRUE(PluginInstaller::installedVersions("5d1e93b0").isEmpty());
}

TEST(PluginInstalledVersions, CountsEveryEntryWhoseNameStartsWithTheIdentifierAndAnUnderscore)
{
    ScopedHome home;
    makeExternalEntry("5d1e93b0_1.4.0");
    makeExternalEntry("5d1e93b0_");
    makeExternalEntry("5d1e93b0_2.0", false);  // a plain file counts too
    makeExternalEntry("x5d1e93b0_9.9");        // the identifier later in the name
    makeExternalEntry("5D1E93B0_9.9");         // another case
    makeExternalEntry("5d1e93b0-9.9");         // no underscore
    makeExternalEntry("com.tessaryn.premierepro_1.0.0");

    QStringList versions = PluginInstaller::installedVersions("5d1e93b0");
    versions.sort();
    EXPECT_EQ(versions, QStringList({ "", "1.4.0", "2.0" }));
    EXPECT_EQ(PluginInstaller::installedVersions("com.tessaryn.premierepro"), QStringList({ "1.0.0" }));
}

TEST(PluginInstalledVersions, FollowsTheCurrentHomeFolder)
{
    ScopedHome home;
    EXPECT_EQ(PluginInstaller::installedCodeDir("1.4.0"),
              home.path() + "/Library/Application Support/Adobe/UXP/Plugins/External/5d1e93b0_1.4.0");
    EXPECT_EQ(PluginInstaller::markerPath(), home.supportFolder() + "/plugin-installed-version");
    EXPECT_EQ(PluginInstaller::stagedPackagePath(), home.supportFolder() + "/Tessaryn.ccx");
}

TEST(PluginBundledPackage, IsInTheResourcesFolderWhenThereIsOne)
{
    RecordingDesktop desktop;
    PluginInstaller::Services services { desktop };
    services.resourcesFolder = [] { return std::optional<QString>("/opt/t/share/tessaryn-helper"); };
    EXPECT_EQ(PluginInstaller::bundledCCX(services), QString("/opt/t/share/tessaryn-helper/Tessaryn.ccx"));
    services.resourcesFolder = [] { return std::optional<QString>(); };
    EXPECT_EQ(PluginInstaller::bundledCCX(services), std::nullopt);
}

TEST(PluginBundledPackage, TheBuildStagesAPackageOfTheProjectVersion)
{
    const QString staged = QStringLiteral(TESSARYN_BUILD_DIR) + "/share/tessaryn-helper/Tessaryn.ccx";
    ASSERT_TRUE(QFileInfo(staged).isFile());
    EXPECT_EQ(PluginInstaller::manifestVersion(staged), QString("1.0.0"));
}

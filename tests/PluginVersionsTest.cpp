#include "Plugin/PluginInstaller.h"

#include "PluginTestSupport.h"
#include "TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

TEST(PluginVersionComparison, EveryRuleOfTheComparison)
{
    struct Case {
        const char* a;
        const char* b;
        bool atLeast;
    };
    const std::vector<Case> cases {
        // Parts compare numerically; missing parts count as zero.
        { "1.10", "1.9", true }, { "1.9", "1.10", false }, { "2.0", "1.99.99", true },
        { "1.2", "1.2.1", false }, { "1.2.1", "1.2", true }, { "1.2", "1.2.0", true }, { "1.2.0", "1.2", true },
        { "", "0", true }, { "0", "", true }, { "", "", true }, { "", "0.0.1", false },
        // Empty parts are dropped.
        { "1..2", "1.2", true }, { "1.2", "1..2", true }, { "1..2", "1.3", false },
        { ".1.2.", "1.2", true }, { "1.2", ".1.2.", true },
        // Parts that are not integers read as zero; signs are read.
        { "1.2.3-rc1", "1.2.3", false }, { "1.2.3", "1.2.3-rc1", true }, { "1.+", "1.1", false },
        { "1. 2", "1.1", false }, { "1.++2", "1.1", false }, { "1.2a", "1.1", false },
        { "1.\u0663", "1.1", false }, { "abc", "0", true }, { "+2", "2", true }, { "2", "+2", true },
        { "1.-1", "1.0", false }, { "1.0", "1.-1", true }, { "1", "+2", false },
        // Parts beyond signed 64 bits read as zero.
        { "9223372036854775807", "9223372036854775806", true }, { "9223372036854775808", "1", false },
        { "1.99999999999999999999999", "1.1", false }, { "-9223372036854775808", "-9223372036854775807", false },
        { "-9223372036854775809", "-1", true },
        // Identical texts are always at least each other.
        { "1.4.0", "1.4.0", true }, { "x.y", "x.y", true }, { "1..", "1..", true }, { "-", "-", true },
        { "9223372036854775808.1", "9223372036854775808.1", true },
    };
    for (const Case& c : cases)
        EXPECT_EQ(PluginInstaller::isVersion(QString::fromUtf8(c.a), QString::fromUtf8(c.b)), c.atLeast)
            << c.a << " vs " << c.b;
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
    QTemporaryDir dir;
    writeFile(dir.path() + "/Tessaryn.ccx", manifestWithVersion("\"1.4.0\"")); // no archive
    EXPECT_EQ(PluginInstaller::manifestVersion(dir.path() + "/Tessaryn.ccx"), std::nullopt);
    EXPECT_EQ(PluginInstaller::manifestVersion(dir.path() + "/missing.ccx"), std::nullopt);
}

TEST(PluginInstalledVersions, CountsEveryEntryWhoseNameStartsWithTheIdentifierAndAnUnderscore)
{
    ScopedHome home;
    EXPECT_TRUE(PluginInstaller::installedVersions("5d1e93b0").isEmpty()); // no External folder
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

TEST(PluginBundledPackage, TheBuildStagesAPackageOfTheProjectVersion)
{
    const QString staged = QStringLiteral(TESSARYN_BUILD_DIR) + "/share/tessaryn-helper/Tessaryn.ccx";
    ASSERT_TRUE(QFileInfo(staged).isFile());
    EXPECT_EQ(PluginInstaller::manifestVersion(staged), QString("1.0.0"));
}

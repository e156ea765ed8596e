#include "Platform/LoginItem.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

const QString executable = "/opt/tessaryn/bin/tessaryn-helper";

// A temporary XDG_CONFIG_HOME for one test.
class ScopedConfigHome {
public:
    ScopedConfigHome()
        : env_("XDG_CONFIG_HOME", QFile::encodeName(dir_.path()))
    {
    }
    QString path() const { return dir_.path(); }
    QString entry() const { return path() + "/autostart/app.marovant.tessaryn-helper.desktop"; }

private:
    QTemporaryDir dir_;
    ScopedEnv env_;
};

QString execLine(const QString& entryPath)
{
    for (const QString& line : readLines(entryPath))
        if (line.startsWith("Exec="))
            return line;
    return {};
}

} // namespace

TEST(LoginItemStatus, WithoutAnEntryTheItemIsNotRegistered)
{
    ScopedConfigHome config;
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::notRegistered);
}

TEST(LoginItemStatus, AnUnknownExecutableIsNotFound)
{
    ScopedConfigHome config;
    LoginItem::registerApp(executable);
    EXPECT_EQ(LoginItem::status(QString()), LoginItemStatus::notFound);
}

TEST(LoginItemStatus, AnEntryForThisExecutableIsEnabled)
{
    ScopedConfigHome config;
    LoginItem::registerApp(executable);
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::enabled);
}

TEST(LoginItemStatus, AnEntryForAnotherExecutableIsNotRegistered)
{
    ScopedConfigHome config;
    LoginItem::registerApp("/usr/bin/tessaryn-helper");
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::notRegistered);
}

TEST(LoginItemStatus, ADisabledEntryIsNotRegistered)
{
    ScopedConfigHome config;
    const QByteArray entry = "[Desktop Entry]\nType=Application\nName=Tessaryn Helper\nExec=\"" + executable.toUtf8() + "\"\n";
    writeFile(config.entry(), entry + "Hidden=true\n");
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::notRegistered);
    writeFile(config.entry(), entry + "X-GNOME-Autostart-enabled=false\n");
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::notRegistered);
    // Keys of another group say nothing about the entry.
    writeFile(config.entry(), entry + "[Desktop Action x]\nHidden=true\n");
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::enabled);
    // An unquoted program with arguments names it too.
    writeFile(config.entry(), "[Desktop Entry]\nType=Application\nExec=" + executable.toUtf8() + " --quiet\n");
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::enabled);
}

TEST(LoginItemStatus, AnEntryNamingALinkToThisExecutableIsEnabled)
{
    QTemporaryDir dir;
    const QString real = dir.filePath("tessaryn-helper");
    writeFile(real, "#!/bin/sh\n", true);
    ASSERT_TRUE(QFile::link(real, dir.filePath("link")));
    ScopedConfigHome config;
    LoginItem::registerApp(dir.filePath("link"));
    EXPECT_EQ(LoginItem::status(real), LoginItemStatus::enabled);
}

TEST(LoginItemRegister, WritesAValidAutostartEntryCreatingTheFolderAndLogsNothing)
{
    ScopedConfigHome config;
    LogCapture capture;
    LoginItem::registerApp(executable);

    const QStringList lines = readLines(config.entry());
    ASSERT_FALSE(lines.isEmpty()) << "no entry at " << config.entry().toStdString();
    EXPECT_EQ(lines.first(), "[Desktop Entry]");
    EXPECT_TRUE(lines.contains("Type=Application"));
    EXPECT_TRUE(lines.contains("Name=Tessaryn Helper"));
    EXPECT_TRUE(lines.contains("X-GNOME-Autostart-enabled=true"));
    EXPECT_TRUE(lines.contains("Exec=\"/opt/tessaryn/bin/tessaryn-helper\""));
    EXPECT_TRUE(capture.messages().isEmpty());
    // No temporary file is left beside it.
    EXPECT_EQ(QDir(config.path() + "/autostart").entryList(QDir::Files | QDir::Hidden), QStringList { "app.marovant.tessaryn-helper.desktop" });
}

TEST(LoginItemRegister, QuotesTheExecutableAsDesktopEntriesRequire)
{
    ScopedConfigHome config;
    const QString odd = "/tmp/My Apps/50% \"off\"/$HOME/back\\slash/`tick`";
    LoginItem::registerApp(odd);
    EXPECT_EQ(execLine(config.entry()),
              "Exec=\"/tmp/My Apps/50%% \\\\\"off\\\\\"/\\\\$HOME/back\\\\\\\\slash/\\\\`tick\\\\`\"");
    EXPECT_EQ(LoginItem::status(odd), LoginItemStatus::enabled);
}

TEST(LoginItemRegister, ReplacesADisabledEntry)
{
    ScopedConfigHome config;
    writeFile(config.entry(), "[Desktop Entry]\nType=Application\nExec=/usr/bin/old\nHidden=true\n");
    LoginItem::registerApp(executable);
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::enabled);
    EXPECT_FALSE(readLines(config.entry()).contains("Hidden=true"));
}

TEST(LoginItemRegister, WithoutXdgConfigHomeTheEntryGoesUnderTheHomeFolder)
{
    ScopedHome home;
    for (const std::optional<QByteArray>& value : { std::optional<QByteArray>(), std::optional<QByteArray>("relative/config") }) {
        ScopedEnv unset("XDG_CONFIG_HOME", value);
        LoginItem::registerApp(executable);
        EXPECT_TRUE(QFile::exists(home.path() + "/.config/autostart/app.marovant.tessaryn-helper.desktop"));
        EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::enabled);
        LoginItem::unregisterApp();
    }
}

TEST(LoginItemRegister, AFolderThatCannotBeMadeIsLoggedAndThrown)
{
    ScopedConfigHome config;
    writeFile(config.path() + "/autostart", "a file where the folder belongs");
    LogCapture capture;
    try {
        LoginItem::registerApp(executable);
        FAIL() << "no error";
    } catch (const LoginItemError& error) {
        const QString description = error.what();
        EXPECT_TRUE(description.contains(config.path() + "/autostart")) << error.what();
        EXPECT_EQ(capture.messages(), QStringList { "LoginItem.register failed: " + description });
    }
}

TEST(LoginItemRegister, AFolderThatCannotBeWrittenIsLoggedAndThrown)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop the superuser";
    ScopedConfigHome config;
    const QString folder = config.path() + "/autostart";
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    LogCapture capture;
    try {
        LoginItem::registerApp(executable);
        FAIL() << "no error";
    } catch (const LoginItemError& error) {
        const QString description = error.what();
        EXPECT_TRUE(description.contains(config.entry())) << error.what();
        EXPECT_TRUE(description.contains("Permission denied")) << error.what();
        EXPECT_EQ(capture.messages(), QStringList { "LoginItem.register failed: " + description });
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST(LoginItemRegister, AnEntryPathTakenByAFolderIsLoggedAndThrown)
{
    ScopedConfigHome config;
    ASSERT_TRUE(QDir().mkpath(config.entry()));
    LogCapture capture;
    EXPECT_THROW(LoginItem::registerApp(executable), LoginItemError);
    const QStringList messages = capture.messages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("LoginItem.register failed: ")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains(config.entry())) << messages[0].toStdString();
}

TEST(LoginItemRegister, AnUnknownExecutableCannotBeRegistered)
{
    ScopedConfigHome config;
    LogCapture capture;
    EXPECT_THROW(LoginItem::registerApp(QString()), LoginItemError);
    EXPECT_FALSE(QFile::exists(config.entry()));
    ASSERT_EQ(capture.messages().size(), 1);
    EXPECT_TRUE(capture.messages()[0].startsWith("LoginItem.register failed: "));
}

TEST(LoginItemUnregister, RemovesTheEntryAndAMissingOneIsNoError)
{
    ScopedConfigHome config;
    LoginItem::registerApp(executable);
    LogCapture capture;
    LoginItem::unregisterApp();
    EXPECT_FALSE(QFile::exists(config.entry()));
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::notRegistered);
    EXPECT_NO_THROW(LoginItem::unregisterApp());
    EXPECT_TRUE(capture.messages().isEmpty());
}

TEST(LoginItemUnregister, AnEntryThatCannotBeRemovedIsLoggedAndThrown)
{
    ScopedConfigHome config;
    writeFile(config.entry() + "/inside", "keeps the folder from being removed");
    LogCapture capture;
    try {
        LoginItem::unregisterApp();
        FAIL() << "no error";
    } catch (const LoginItemError& error) {
        const QString description = error.what();
        EXPECT_TRUE(description.contains(config.entry())) << error.what();
        EXPECT_EQ(capture.messages(), QStringList { "LoginItem.unregister failed: " + description });
    }
}

TEST(LoginItemStatus, TheRunningExecutableIsTheOneRegisteredByDefault)
{
    ScopedConfigHome config;
    LoginItem::registerApp();
    EXPECT_EQ(LoginItem::status(), LoginItemStatus::enabled);
    EXPECT_EQ(LoginItem::status(QFileInfo("/proc/self/exe").canonicalFilePath()), LoginItemStatus::enabled);
    LoginItem::unregisterApp();
    EXPECT_EQ(LoginItem::status(), LoginItemStatus::notRegistered);
}

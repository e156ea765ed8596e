#include "Platform/LoginItem.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

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

TEST(LoginItemStatus, NotRegisteredWithoutAnEntryOrForAnotherExecutableNotFoundWhenUnknown)
{
    ScopedConfigHome config;
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::notRegistered);
    LoginItem::registerApp("/usr/bin/tessaryn-helper");
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::notRegistered);
    LoginItem::registerApp(executable);
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::enabled);
    EXPECT_EQ(LoginItem::status(QString()), LoginItemStatus::notFound);
}

TEST(LoginItemStatus, ADisabledEntryIsNotRegisteredAndRegisteringReplacesIt)
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

    writeFile(config.entry(), "[Desktop Entry]\nType=Application\nExec=/usr/bin/old\nHidden=true\n");
    LoginItem::registerApp(executable);
    EXPECT_EQ(LoginItem::status(executable), LoginItemStatus::enabled);
    EXPECT_FALSE(readLines(config.entry()).contains("Hidden=true"));
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

TEST(LoginItemRegister, EveryFailureIsLoggedAndThrownNamingWhatFailed)
{
    struct Case {
        const char* name;
        std::function<void(const ScopedConfigHome&)> arrange;
        QString executable;
        std::function<QString(const ScopedConfigHome&)> named;
    };
    const std::vector<Case> cases {
        { "a file where the folder belongs",
          [](const ScopedConfigHome& c) { writeFile(c.path() + "/autostart", "in the way"); }, executable,
          [](const ScopedConfigHome& c) { return c.path() + "/autostart"; } },
        { "a folder where the entry belongs", [](const ScopedConfigHome& c) { QDir().mkpath(c.entry()); }, executable,
          [](const ScopedConfigHome& c) { return c.entry(); } },
        { "an unknown executable", [](const ScopedConfigHome&) { }, QString(), [](const ScopedConfigHome&) { return QString(); } },
        { "a folder that cannot be written",
          [](const ScopedConfigHome& c) {
              QDir().mkpath(c.path() + "/autostart");
              QFile::setPermissions(c.path() + "/autostart", QFile::ReadOwner | QFile::ExeOwner);
          },
          executable, [](const ScopedConfigHome& c) { return c.entry(); } },
    };
    for (const Case& c : cases) {
        if (::geteuid() == 0 && QByteArray(c.name) == "a folder that cannot be written")
            continue; // permissions do not stop the superuser
        SCOPED_TRACE(c.name);
        ScopedConfigHome config;
        c.arrange(config);
        LogCapture capture;
        try {
            LoginItem::registerApp(c.executable);
            ADD_FAILURE() << "no error";
        } catch (const LoginItemError& error) {
            const QString description = error.what();
            EXPECT_TRUE(description.contains(c.named(config))) << error.what();
            if (QByteArray(c.name) == "a folder that cannot be written") {
                EXPECT_TRUE(description.contains("Permission denied")) << error.what();
            }
            EXPECT_EQ(capture.messages(), QStringList { "LoginItem.register failed: " + description });
        }
        EXPECT_FALSE(QFileInfo(config.entry()).isFile());
        QFile::setPermissions(config.path() + "/autostart", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
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

#pragma once

#include "Foundation/ChildProcess.h"
#include "Platform/Desktop.h"
#include "Plugin/PluginInstaller.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <map>
#include <memory>
#include <vector>

// Records what the flow asks of the desktop, in order. An alert can run a check while it is
// "open", before it returns to the flow.
class RecordingDesktop final : public Desktop {
public:
    struct Event {
        enum Kind { Open, Alert } kind;
        QString first;  // the URL's text, or the alert's title
        QString second; // the alert's text
    };

    void open(const QUrl& url) override;
    void alert(const QString& title, const QString& text) override;

    std::vector<Event> events;
    QStringList alertTitles() const;
    QList<QUrl> openedUrls() const;
    std::function<void(const QString& title)> whileAlertIsOpen;
};

// A real ZIP archive made with CMake's archiver from name -> content pairs, in a temporary folder
// of its own that goes with the object.
class ZipPackage {
public:
    explicit ZipPackage(const std::map<QString, QByteArray>& files);
    QString path() const { return dir_.path() + "/Tessaryn.ccx"; }
    // The same, written to a given path instead (for a resources folder).
    static void create(const QString& destination, const std::map<QString, QByteArray>& files);

private:
    QTemporaryDir dir_;
};

QByteArray manifestWithVersion(const QString& versionJson);

// A real process whose full command line contains the given name, ended and reaped when the
// object goes, whatever happened in between.
class NamedProcess {
public:
    explicit NamedProcess(const QString& name);
    ~NamedProcess();

private:
    QTemporaryDir dir_;
    std::shared_ptr<ChildProcess> child_;
};

// An installer agent stand-in: a shell script that appends its arguments to a record file and
// then runs the given script body.
class FakeAgent {
public:
    explicit FakeAgent(const QString& body);
    QString path() const { return dir_.path() + "/UnifiedPluginInstallerAgent"; }
    // One line per run, with the arguments separated by spaces; empty when it never ran.
    QStringList runs() const;

private:
    QTemporaryDir dir_;
};

// Makes an entry of Adobe's External folder under the current HOME.
void makeExternalEntry(const QString& name, bool asFolder = true);

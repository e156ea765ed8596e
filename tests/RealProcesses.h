#pragma once

// Support for tests that run real processes: the helper itself, its server, a Premiere Pro
// stand-in, another program on the server's port. Every process started here is killed and
// reaped when its owner goes, whether the test passed or not.
#include "Foundation/ChildProcess.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Alive and not yet a zombie: a reparented child may wait a while for its reaper.
bool processAlive(pid_t pid);

// A connection to 127.0.0.1:9876, or -1.
int connectToServer();
// GET /health on 127.0.0.1:9876: the whole response, or nothing.
QByteArray getHealth();
bool healthOk();

// A long-lived child that never outlives its owner. Its output is kept.
class Background {
public:
    explicit Background(ProcessSpec spec);
    ~Background() { kill(); }
    void kill();
    ChildProcess& process() { return *process_; }
    QByteArray output() const { return output_->bytes(); }
    QByteArray errors() const { return errors_->bytes(); }

private:
    struct Buffer {
        void append(const QByteArray& chunk);
        QByteArray bytes();
        std::mutex mutex;
        QByteArray data;
    };
    std::shared_ptr<Buffer> output_ = std::make_shared<Buffer>();
    std::shared_ptr<Buffer> errors_ = std::make_shared<Buffer>();
    std::shared_ptr<ChildProcess> process_;
};

// A process that the helper takes for Premiere Pro: its launch environment names Premiere's
// desktop file.
class PremiereStandIn {
public:
    PremiereStandIn();
    pid_t pid() { return process_.process().pid(); }
    void quit() { process_.kill(); }

private:
    Background process_;
};

// Another program listening on 127.0.0.1:9876.
class PortHolder {
public:
    PortHolder();
    bool waitUntilListening();

private:
    Background process_;
};

// One run of the real helper with a throw-away HOME and XDG_CONFIG_HOME. Without a display it
// runs headless; with one, on that display with a session bus that cannot be reached (none is
// started for it), so that Qt docks its icon through XEmbed. On destruction it and its server are
// killed and reaped.
class HelperRun {
public:
    struct Options {
        QString executable = QStringLiteral(TESSARYN_BUILD_DIR "/bin/tessaryn-helper");
        QString display; // empty: headless
    };
    HelperRun(const QString& home, const QString& configHome, Options options);
    HelperRun(const QString& home, const QString& configHome);
    ~HelperRun();

    QStringList messages() const;
    bool waitForMessage(const QString& message, std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;
    pid_t serverPid() const;
    ChildProcess& process() { return process_->process(); }
    // Sends SIGTERM and waits for the end: the exit status, or none when it did not end in time.
    std::optional<int> terminate(std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // The log and standard error, for failure messages.
    std::string diagnostics() const;

private:
    QString home_;
    std::unique_ptr<Background> process_;
};

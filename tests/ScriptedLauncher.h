#pragma once

#include "Foundation/ProcessLauncher.h"

#include <csignal>
#include <optional>
#include <string>
#include <vector>

// A process that ends when the test says, or on the signals it obeys.
class ScriptedProcess final : public LaunchedProcess {
public:
    ScriptedProcess(pid_t pid, ChildProcess::Handlers handlers)
        : pid_(pid)
        , handlers_(std::move(handlers))
    {
    }
    pid_t pid() const override { return pid_; }
    bool isRunning() const override { return running_; }
    void sendSignal(int signal) const override
    {
        if (!running_)
            return;
        signals_.push_back(signal);
        if ((signal == SIGKILL && obeysSigkill) || (signal == SIGTERM && obeysSigterm))
            const_cast<ScriptedProcess*>(this)->end(signal);
    }
    // Writes to standard error, if anything, then ends; the end notice reaches the manager when
    // the test runs the main thread's posted work.
    void end(int status, const QByteArray& standardError = {})
    {
        if (!standardError.isEmpty())
            handlers_.standardError(standardError);
        running_ = false;
        handlers_.finished(status);
    }
    const std::vector<int>& receivedSignals() const { return signals_; }
    bool obeysSigterm = true;
    bool obeysSigkill = true;

private:
    pid_t pid_;
    ChildProcess::Handlers handlers_;
    bool running_ = true;
    mutable std::vector<int> signals_;
};

class ScriptedLauncher final : public ProcessLauncher {
public:
    std::shared_ptr<LaunchedProcess> launch(const ProcessSpec& spec, ChildProcess::Handlers handlers) override
    {
        if (failWith)
            throw SpawnError(*failWith);
        specs.push_back(spec);
        processes.push_back(std::make_shared<ScriptedProcess>(pid_t(4000 + processes.size()), std::move(handlers)));
        return processes.back();
    }
    ScriptedProcess& last() { return *processes.back(); }
    std::vector<ProcessSpec> specs;
    std::vector<std::shared_ptr<ScriptedProcess>> processes;
    std::optional<std::string> failWith;
};

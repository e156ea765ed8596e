#pragma once

#include "ChildProcess.h"

#include <memory>

// A launched child as its supervisor sees it.
class LaunchedProcess {
public:
    virtual ~LaunchedProcess() = default;
    virtual pid_t pid() const = 0;
    // True until the child has ended and been reaped.
    virtual bool isRunning() const = 0;
    // Does nothing once the child has been reaped.
    virtual void sendSignal(int signal) const = 0;
};

// Starts children for a supervisor: real ones in the program, scripted ones in tests.
class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    // Throws SpawnError when the child cannot be started.
    virtual std::shared_ptr<LaunchedProcess> launch(const ProcessSpec& spec,
                                                    ChildProcess::Handlers handlers) = 0;
};

class ChildProcessLauncher final : public ProcessLauncher {
public:
    std::shared_ptr<LaunchedProcess> launch(const ProcessSpec& spec,
                                            ChildProcess::Handlers handlers) override;
};

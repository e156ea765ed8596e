#include "ProcessLauncher.h"

namespace {

class LaunchedChild final : public LaunchedProcess {
public:
    LaunchedChild(std::shared_ptr<ChildProcess> child, bool ownGroup)
        : child_(std::move(child))
        , ownGroup_(ownGroup)
    {
    }
    pid_t pid() const override { return child_->pid(); }
    bool isRunning() const override { return child_->isRunning(); }
    // To the whole group while the child lives: what it started is stopped with it.
    void sendSignal(int signal) const override
    {
        if (!ownGroup_)
            child_->sendSignal(signal);
        else if (child_->isRunning())
            child_->sendSignalToGroup(signal);
    }

private:
    std::shared_ptr<ChildProcess> child_;
    bool ownGroup_;
};

} // namespace

std::shared_ptr<LaunchedProcess> ChildProcessLauncher::launch(const ProcessSpec& spec,
                                                              ChildProcess::Handlers handlers)
{
    return std::make_shared<LaunchedChild>(ChildProcess::start(spec, std::move(handlers)),
                                           spec.ownProcessGroup || spec.newSession);
}

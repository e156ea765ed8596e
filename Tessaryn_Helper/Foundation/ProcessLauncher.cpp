#include "ProcessLauncher.h"

namespace {

class LaunchedChild final : public LaunchedProcess {
public:
    explicit LaunchedChild(std::shared_ptr<ChildProcess> child)
        : child_(std::move(child))
    {
    }
    pid_t pid() const override { return child_->pid(); }
    bool isRunning() const override { return child_->isRunning(); }
    void sendSignal(int signal) const override { child_->sendSignal(signal); }

private:
    std::shared_ptr<ChildProcess> child_;
};

} // namespace

std::shared_ptr<LaunchedProcess> ChildProcessLauncher::launch(const ProcessSpec& spec, ChildProcess::Handlers handlers)
{
    return std::make_shared<LaunchedChild>(ChildProcess::start(spec, std::move(handlers)));
}

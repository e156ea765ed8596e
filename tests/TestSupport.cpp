#include "TestSupport.h"

#include "Logging/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#ifdef TESSARYN_GUI_TEST_MAIN
#include <QApplication>
using TestApplication = QApplication;
#else
using TestApplication = QCoreApplication;
#endif

ScopedEnv::ScopedEnv(const char* name, std::optional<QByteArray> value)
    : name_(name)
{
    if (qEnvironmentVariableIsSet(name))
        previous_ = qgetenv(name);
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (previous_)
        qputenv(name_, *previous_);
    else
        qunsetenv(name_);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes, bool executable)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes);
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeUser);
}

QStringList readLines(const QString& path)
{
    QString text = QString::fromUtf8(readFile(path));
    if (text.endsWith('\n'))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split('\n');
}

QStringList logMessages(const QString& path)
{
    QStringList messages;
    for (const QString& line : readLines(path))
        messages << line.section(' ', 1);
    return messages;
}

LogCapture::LogCapture()
{
    Log::shared().flush();
    start_ = QFileInfo(Log::shared().filePath()).size();
}

QStringList LogCapture::messages() const
{
    Log::shared().flush();
    QFile file(Log::shared().filePath());
    if (!file.open(QIODevice::ReadOnly) || !file.seek(start_))
        return {};
    QStringList messages;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.isEmpty())
            messages << QString::fromUtf8(line).section(' ', 1);
    return messages;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct VirtualScheduler::Timer : Cancellable {
    Task task;
    bool cancelled = false;
    void cancel() override { cancelled = true; }
};

void VirtualScheduler::post(Task task)
{
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
    posted_.notify_all();
}

std::shared_ptr<Cancellable> VirtualScheduler::after(Duration delay, Task task)
{
    auto timer = std::make_shared<Timer>();
    timer->task = std::move(task);
    timers_.emplace(std::make_pair(now_ + delay, sequence_++), timer);
    return timer;
}

void VirtualScheduler::runPosted()
{
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

void VirtualScheduler::advance(Duration delta)
{
    const Duration target = now_ + delta;
    runPosted();
    while (!timers_.empty() && timers_.begin()->first.first <= target) {
        auto node = timers_.extract(timers_.begin());
        now_ = node.key().first;
        if (!node.mapped()->cancelled)
            node.mapped()->task();
        runPosted();
    }
    now_ = target;
}

bool VirtualScheduler::runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        runPosted();
        if (condition())
            return true;
        std::unique_lock lock(mutex_);
        if (!posted_.wait_until(lock, deadline, [&] { return !queue_.empty(); }))
            return condition();
    }
}

std::vector<Scheduler::Duration> VirtualScheduler::pendingDelays() const
{
    std::vector<Duration> delays;
    for (const auto& [key, timer] : timers_)
        if (!timer->cancelled)
            delays.push_back(key.first - now_);
    return delays;
}

int main(int argc, char** argv)
{
    // One throw-away HOME for the whole process, before anything logs: nothing a test does
    // reaches the real home folder, and the shared helper log has a place of its own.
    qputenv("LANG", "C.UTF-8");
    qputenv("LC_ALL", "C.UTF-8");
    QTemporaryDir processHome;
    qputenv("HOME", QFile::encodeName(processHome.path()));
    Log::shared();
#ifdef TESSARYN_GUI_TEST_MAIN
    // Widgets are tested off screen, also when CTest lists the cases outside its environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

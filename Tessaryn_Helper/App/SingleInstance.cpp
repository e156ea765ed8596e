#include "SingleInstance.h"

#include "Foundation/HomeFolders.h"
#include "Logging/Log.h"

#include <QDir>

#include <chrono>
#include <thread>

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance()
{
    release();
}

bool SingleInstance::acquire()
{
    QDir().mkpath(HomeFolders::supportFolder());
    lock_ = std::make_unique<QLockFile>(HomeFolders::supportFolder() + QStringLiteral("/helper.lock"));
    // Stale only when its owner is gone, however long a helper has been running.
    lock_->setStaleLockTime(0);
    qint64 pid = 0;
    // A helper starting at the same moment may not have written its identity yet: ask again. A
    // lock that stays without an identity (its owner died while writing it, or it was damaged)
    // can never be found stale by its owner's identity: it is taken over, unless its owner's
    // system lock on it says that the owner lives.
    for (int attempt = 0; attempt <= 10; ++attempt) {
        if (lock_->tryLock(0))
            return true;
        if (lock_->error() != QLockFile::LockFailedError) {
            lock_.reset();
            return true;
        }
        QString hostname, application;
        if (lock_->getLockInfo(&pid, &hostname, &application))
            break;
        if (attempt == 10 && lock_->removeStaleLockFile() && lock_->tryLock(0))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Log::write(QStringLiteral("Another Tessaryn Helper is running (pid %1) \u2014 exiting").arg(pid));
    lock_.reset();
    return false;
}

void SingleInstance::release()
{
    if (lock_)
        lock_->unlock();
    lock_.reset();
}

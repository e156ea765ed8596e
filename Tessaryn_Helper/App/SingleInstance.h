#pragma once

#include <QLockFile>

#include <memory>

// One helper per user: a lock file in the support folder, held for the helper's life. A lock left
// by a helper that has died is taken over.
class SingleInstance {
public:
    SingleInstance();
    ~SingleInstance();

    // False when another helper holds the lock; that is then logged. When the lock cannot be
    // taken for any other reason (an unwritable folder), the helper runs anyway: true.
    bool acquire();
    // Lets go of the lock, for an exit that skips destructors.
    void release();

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

private:
    std::unique_ptr<QLockFile> lock_;
};

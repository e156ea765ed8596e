#pragma once

#include <QString>

#include <chrono>
#include <optional>
#include <sys/types.h>

// A note in the support folder of the server that this helper runs: its process identifier, its
// start time and its script. A helper that ends without stopping its server (killed, crashed)
// leaves the note behind, and the next helper stops that server before doing anything else.
// Every file failure is ignored: the note is a safety net, not a condition for running. A note
// that is not the user's own file in a folder of the user's own is no note.
class ServerRecord {
public:
    ServerRecord() = delete;

    static QString filePath();
    // Notes a server just launched, replacing any earlier note; written atomically.
    static void save(pid_t pid, const QString& scriptPath);
    // Forgets the note if it is about this process.
    static void remove(pid_t pid);
    // Stops the noted server if it still runs and is still the one noted (same start time, its
    // command line names the script): SIGTERM, SIGKILL once the grace period has passed, then
    // waits for its end. Logs the stop; forgets the note in every case. Waits on the calling
    // thread: meant for the start, before any event is handled.
    static void stopLeftover(std::chrono::milliseconds gracePeriod = std::chrono::seconds(2));
    // The same without the line: answers the process stopped, if any. For a helper that must end
    // at once and cannot wait on its event loop (its display is gone).
    static std::optional<pid_t> stopNoted(std::chrono::milliseconds gracePeriod = std::chrono::seconds(2));
};

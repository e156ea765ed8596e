#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

// The session bus, joined so that the main thread never waits for it: a bus daemon that is stopped
// or swamped must hold up neither the server's supervision nor the helper's end. Qt makes a
// connection by waiting, on the calling thread, for its own bus thread, which waits for the daemon's
// greeting as long as libdbus lets it (25 s). So connections are opened, and their signals
// subscribed to, on a thread of this object's own, and only once the bus has answered a greeting
// there (its reply within `greetingBound`; a bus that never finishes authenticating keeps that
// thread waiting until it does); the main thread gets them ready to use and only sends on them,
// which Qt queues. Closing one also happens on that thread.
//
// Qt itself uses the bus from the main thread too (accessibility, its tray icon's choice of
// protocol), waiting for every answer: it is given the bus only when the bus answered at start, and
// a bus that cannot be connected to otherwise.
//
// The helper's own connection is made at start and made again whenever the bus answers after a loss;
// each time, the subscriptions run on it first, then the names watched are asked after.
class SessionBus : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds greetingBound { 1000 };
    // How long the start waits for the bus's first answer before it gives Qt none.
    static constexpr std::chrono::milliseconds startWait { 1000 };
    // The pause after a failed attempt, doubled after each up to the last.
    static constexpr std::chrono::milliseconds firstRetry { 500 };
    static constexpr std::chrono::milliseconds lastRetry { 8000 };

    // The session's bus address, or none when the session names none (libdbus would start a bus of
    // its own then).
    static QString address();
    // Whether a bus at `address` answers a greeting within `bound`. Waits: never on the main thread
    // once its loop runs.
    static bool answers(const QString& address, std::chrono::milliseconds bound);

    // Starts joining the bus at `address` at once (none: stays without).
    explicit SessionBus(QString address = SessionBus::address(), QObject* parent = nullptr);
    ~SessionBus() override;

    // With the application object made and its loop not yet running: Qt's own connection goes to the
    // bus when it answered within `startWait`, else to none, for the whole run.
    void admitQtIfAnswering();
    // Whether it did: the helper's connection is then there, or about to be.
    bool answeredAtStart() const { return answeredAtStart_; }

    // Runs on the bus's thread on each new connection of the helper's.
    void onEachConnection(std::function<void(QDBusConnection&)> subscribe);
    // Reports `nameOwnerChanged` for `name`: on each new connection (its owner then) and at each change.
    void watchName(const QString& name);

    // A connection of its own named `name` (a showing of the status icon), opened off the main thread
    // when the bus answers, retried until it is or until closed: `opened` with it.
    void open(const QString& name);
    void close(const QString& name);

    // Whether the bus's thread is waiting on the bus now: Qt's bus thread may be too, and the process
    // must then end without joining it.
    bool isWaiting() const { return waiting_; }

signals:
    void lost();
    // The name's owner, empty when it has none.
    void nameOwnerChanged(const QString& name, const QString& owner);
    void opened(const QString& name, const QDBusConnection& connection);

private slots:
    // From the bus: Qt delivers them here through its own thread, in the order they came.
    void disconnected();
    void ownerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    void onBusThread(std::function<void()> work, std::chrono::milliseconds after = {});
    void join(std::chrono::milliseconds retry);
    void tryOpen(const QString& name, std::chrono::milliseconds retry);
    std::optional<QDBusConnection> connectAs(const QString& name);
    void joined(const QDBusConnection& bus);
    void askOwner(const QString& name);
    void follow(QDBusConnection& bus, const QString& name);

    const QString address_;
    QThread thread_;
    QObject* worker_ = nullptr; // the bus's thread's own, for its timers
    std::atomic<bool> waiting_ { false };
    // The first answer, for the start.
    std::mutex firstAnswerLock_;
    std::condition_variable firstAnswerCame_;
    std::optional<bool> firstAnswer_;
    // Bus thread only.
    std::vector<std::function<void(QDBusConnection&)>> subscriptions_;
    QStringList namesToFollow_;
    QStringList wanted_; // the connections asked for and not closed
    QString currentName_;
    int generation_ = 0;
    // Main thread only.
    std::optional<QDBusConnection> connection_;
    QStringList ownersToAsk_;
    bool silenceSaid_ = false;
    bool answeredAtStart_ = false;
};

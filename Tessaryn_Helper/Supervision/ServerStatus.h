#pragma once

#include <QString>

#include <cstdint>

// What the supervised server is doing, as the menu shows it.
class ServerStatus {
public:
    enum class Kind { restarting, preflightFailed, running, stuck, portInUse, stopped, idle };

    static ServerStatus restarting(std::int64_t attempt)
    {
        return ServerStatus(Kind::restarting, attempt, {});
    }
    static ServerStatus preflightFailed(QString reason)
    {
        return ServerStatus(Kind::preflightFailed, 0, std::move(reason));
    }
    static ServerStatus running() { return ServerStatus(Kind::running); }
    static ServerStatus stuck() { return ServerStatus(Kind::stuck); }
    static ServerStatus portInUse() { return ServerStatus(Kind::portInUse); }
    static ServerStatus stopped() { return ServerStatus(Kind::stopped); }
    static ServerStatus idle() { return ServerStatus(Kind::idle); }

    Kind kind() const { return kind_; }
    std::int64_t attempt() const { return attempt_; } // restarting only
    const QString& reason() const { return reason_; } // preflightFailed only

    QString menuHeaderText() const;

    // Same case, and the same payload for the cases that carry one.
    friend bool operator==(const ServerStatus& a, const ServerStatus& b)
    {
        if (a.kind_ != b.kind_)
            return false;
        if (a.kind_ == Kind::restarting)
            return a.attempt_ == b.attempt_;
        if (a.kind_ == Kind::preflightFailed)
            return a.reason_ == b.reason_;
        return true;
    }

private:
    explicit ServerStatus(Kind kind, std::int64_t attempt = 0, QString reason = {})
        : kind_(kind)
        , attempt_(attempt)
        , reason_(std::move(reason))
    {
    }

    Kind kind_;
    std::int64_t attempt_;
    QString reason_;
};

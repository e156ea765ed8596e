#pragma once

#include "Workspace.h"

#include <QMetaObject>
#include <QObject>
#include <QString>

// Tells whether Adobe Premiere Pro is running. Launch and quit notifications are only triggers:
// one that concerns Premiere Pro makes the watcher scan the whole list of running applications
// again, and the scan's answer is what it publishes. Main thread only.
class PremiereWatcher : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isPremiereRunning READ isPremiereRunning NOTIFY isPremiereRunningChanged)

public:
    // Premiere Pro is recognised by this exact, case-sensitive prefix of its identifier alone.
    static inline const QString premiereIdentifierPrefix = QStringLiteral("com.adobe.PremierePro");

    // Subscribes to the workspace and scans it before returning, so that isPremiereRunning()
    // already holds the state of the moment. The workspace must outlive the watcher.
    explicit PremiereWatcher(Workspace& workspace, QObject* parent = nullptr);
    ~PremiereWatcher() override;

    bool isPremiereRunning() const { return isPremiereRunning_; }

    static bool isPremiereIdentifier(const QString& applicationIdentifier);

signals:
    // Emitted after each change of the value, never for an unchanged one.
    void isPremiereRunningChanged(bool isPremiereRunning);

private:
    void handleNotification(const RunningApplication& application);
    static bool noteMatches(const RunningApplication& application);
    void recompute();

    Workspace& workspace_;
    bool isPremiereRunning_ = false;
    QMetaObject::Connection launchObserver_;
    QMetaObject::Connection quitObserver_;
};

#pragma once

#include <QString>
#include <QUrl>

// What the helper asks of the user's desktop. The program uses the Qt adapter; tests record.
class Desktop {
public:
    virtual ~Desktop() = default;
    // Opens a file, folder, application or web address with its default handler, as a file
    // browser would. The result is not reported and nothing waits for the opened application.
    virtual void open(const QUrl& url) = 0;
    // Shows a modal, informational alert with one "OK" button; returns once it is dismissed.
    virtual void alert(const QString& title, const QString& text) = 0;
};

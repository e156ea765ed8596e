#pragma once

#include "Platform/Desktop.h"

// The desktop through Qt: the user's default handlers and a modal message box. Without a display
// (no GUI application, or the "offscreen" or "minimal" platform) an alert becomes one line on
// standard error, so nothing waits for a button that no one can press.
class QtDesktop final : public Desktop {
public:
    void open(const QUrl& url) override;
    void alert(const QString& title, const QString& text) override;
};

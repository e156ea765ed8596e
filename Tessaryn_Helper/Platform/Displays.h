#pragma once

#include <QString>

#include <vector>

// The displays that the environment names, each probed by connecting to its socket before any GUI
// starts: a display that is gone (a stale WAYLAND_DISPLAY or DISPLAY) is then left out instead of
// ending the helper. A display whose socket cannot be told (a remote X display) counts as
// reachable; the GUI's own connection decides.
struct NamedDisplay {
    enum class Kind { wayland, x11 };
    Kind kind;
    QString variable; // WAYLAND_DISPLAY or DISPLAY
    QString value;
    bool reachable;
};

namespace Displays {
// Those set, Wayland first.
std::vector<NamedDisplay> probe();
}

#pragma once

#include <QByteArray>
#include <QString>

// What the login item reads back from its XDG autostart entry.
namespace Autostart {

struct Entry {
    QString exec; // the Exec value, unescaped
    bool hidden = false;
    bool autostartEnabled = true;
};

// The keys of the [Desktop Entry] group that decide whether the entry starts a program.
Entry parseEntry(const QByteArray& content);
// The program of an Exec command line (its first argument), with quoting and "%%" undone.
QString execProgram(const QString& exec);

}

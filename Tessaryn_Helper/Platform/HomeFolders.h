#pragma once

#include <QString>

#include <optional>

// The helper's folders. Where they lie is the platform's convention (XDG base directories on
// Linux, Library/ on macOS): each platform's adapters define logFolder() to runtimeFolder(). The
// home folder and the ownership check are common to every system (Foundation/HomeFolders.cpp).
namespace HomeFolders {
// HOME when it is an absolute path, else the user's entry in the password database.
QString home();
// The value of an environment variable naming a folder when it is an absolute path; else empty.
QString absoluteFromEnvironment(const char* variable);

QString logFolder(); // helper.log, server.log and their generations
QString
supportFolder(); // state: the install marker, the staged package, the first-start marker, the server record
QString cacheFolder();   // env.json
QString runtimeFolder(); // per-session files; empty when the session has no runtime folder

// Whether the helper may keep files in `folder` (one of the folders above, or one below them),
// made for the user alone when missing. Not when it, or the helper's folder it lies in, is not a
// folder of this user's, or the group or others may write to it: someone else could then place,
// swap or link the files the helper reads and writes. A refusal is said on standard error once
// per folder; its line is also answered in `firstRefusal` that once, for the log. A folder that
// cannot be made is no refusal: nothing is said. When false, errno tells why (EACCES: refused).
bool usable(const QString& folder, QString* firstRefusal = nullptr);
}

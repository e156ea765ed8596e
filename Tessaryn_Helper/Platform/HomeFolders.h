#pragma once

#include <QString>

// The helper's folders. Where they lie is the platform's convention (XDG base directories on
// Linux, Library/ on macOS): each platform's adapters define logFolder() to runtimeFolder(). The
// home folder is common to every system (Foundation/HomeFolders.cpp).
namespace HomeFolders {
// HOME when it is an absolute path, else the user's entry in the password database.
QString home();
// The value of an environment variable naming a folder when it is an absolute path; else empty.
QString absoluteFromEnvironment(const char* variable);

QString logFolder();     // helper.log, server.log and their generations
QString supportFolder(); // state: the install marker, the staged package, the first-start marker, the server record
QString cacheFolder();   // env.json
QString runtimeFolder(); // per-session files; empty when the session has no runtime folder
}

#pragma once

#include <QString>

// The helper's folders under the user's home folder (the HOME of the environment).
namespace HomeFolders {
QString home();
QString logFolder();     // Library/Logs/Tessaryn
QString supportFolder(); // Library/Application Support/Tessaryn
QString runtimeFolder(); // $XDG_RUNTIME_DIR/tessaryn when that is absolute; else empty
}

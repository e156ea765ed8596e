#pragma once

#include <QString>

// The running executable's path with links resolved; empty when it cannot be determined.
QString runningExecutablePath();

#pragma once

#include <QString>

#include <optional>

// Where the helper's "bundle" is: <prefix>/bin/tessaryn-helper, with its resources in
// <prefix>/share/tessaryn-helper. The build tree stages the same layout.
namespace BundleLocation {
// <prefix>; empty when the running executable cannot be determined.
QString bundlePath();
// <prefix>/share/tessaryn-helper, whether or not it exists.
QString resourcesFolderPath();
// The same, only when that folder exists.
std::optional<QString> resourcesFolder();
}

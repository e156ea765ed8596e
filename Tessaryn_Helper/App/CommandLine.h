#pragma once

#include <QStringList>

#include <cstdio>
#include <optional>

// The helper takes no arguments, but answers the ones every program of a Linux desktop answers:
// `--help` and `--version` print and end with status 0, anything else is a usage error (status 2),
// all before the helper starts anything.
namespace CommandLine {

// The status to end with when the command line asked for something other than a run; none to run.
std::optional<int> answer(const QStringList& arguments, FILE* out = stdout, FILE* err = stderr);

}

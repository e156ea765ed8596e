#pragma once

#include <QString>

// Where the server's executable and script are: in the resources folder, unless the
// development variables DEV_NODE_PATH and DEV_AI_SERVER_PATH say otherwise (an empty one counts
// as unset). Read afresh each time.
class BundledPaths {
public:
    static QString node();
    static QString serverScript();

    BundledPaths() = delete;
};

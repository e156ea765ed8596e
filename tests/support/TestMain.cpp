#include "Logging/Log.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#ifdef TESSARYN_GUI_TEST_MAIN
#include <QApplication>
using App = QApplication;
#else
#include <QCoreApplication>
using App = QCoreApplication;
#endif

int main(int argc, char** argv)
{
    // A throw-away HOME before anything logs.
    qputenv("LC_ALL", "C.UTF-8");
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_STATE_HOME"), qunsetenv("XDG_CACHE_HOME");
    Log::shared().flush();
#ifdef TESSARYN_GUI_TEST_MAIN
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    App app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

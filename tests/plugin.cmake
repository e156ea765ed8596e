# Plugin installation: versions, process tools, legacy removal and the install decision flow.
# The flow asks pgrep about running processes, and some cases start processes that it must see
# (or must not see), so these tests never run beside other tests that use real processes.
tessaryn_test(plugin_tests
  SOURCES PluginVersionsTest.cpp PluginToolsTest.cpp PluginInstallerTest.cpp PluginTestSupport.cpp
  PROPERTIES RESOURCE_LOCK real_processes)
target_compile_definitions(plugin_tests PRIVATE TESSARYN_CMAKE_COMMAND="${CMAKE_COMMAND}")

tessaryn_test(plugin_desktop_tests SOURCES PluginDesktopTest.cpp LIBS tessaryn_gui)

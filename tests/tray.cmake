# The application shell with its tray icon and menu: in-process over scripted servers (the scripted
# manager still probes port 9876), and the real helper in a real X server with a real tray host.
if(TARGET tessaryn_gui)
  tessaryn_test(app_shell_tests GUI SOURCES AppShellTest.cpp FakeWorkspace.cpp LIBS tessaryn_gui
    PROPERTIES RESOURCE_LOCK real_processes)

  # The real helper and server on port 9876, and a Premiere Pro stand-in that any other test
  # watching the real processes would see.
  tessaryn_test(tray_gui_tests SOURCES TrayGuiTest.cpp RealProcesses.cpp LIBS tessaryn_gui
    PROPERTIES RESOURCE_LOCK real_processes TIMEOUT 240)
  target_compile_definitions(tray_gui_tests PRIVATE
    TESSARYN_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
  add_dependencies(tray_gui_tests tessaryn-helper)
endif()

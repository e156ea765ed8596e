# The tray icon and its menu: in-process over scripted servers (the scripted manager still probes
# port 9876), and the real helper in a real X server with a real tray host.
if(TARGET tessaryn_gui)
  tessaryn_test(tray_menu_tests GUI SOURCES TrayMenuTest.cpp FakeWorkspace.cpp LIBS tessaryn_gui
    PROPERTIES RESOURCE_LOCK port_9876)

  # The real helper and server on port 9876, and a Premiere Pro stand-in that any other test
  # watching the real processes would see.
  tessaryn_test(tray_gui_tests SOURCES TrayGuiTest.cpp LIBS tessaryn_gui PROPERTIES TIMEOUT 240)
  target_compile_definitions(tray_gui_tests PRIVATE
    TESSARYN_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
  add_dependencies(tray_gui_tests tessaryn-helper)
  # Test discovery flattens list-valued properties, so the two locks are set once the cases are
  # known.
  set(tray_gui_locks ${CMAKE_CURRENT_BINARY_DIR}/tray_gui_tests_locks.cmake)
  file(WRITE ${tray_gui_locks} "if(tray_gui_tests_TESTS)\n"
    "  set_tests_properties(\${tray_gui_tests_TESTS} PROPERTIES RESOURCE_LOCK \"port_9876;real_processes\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${tray_gui_locks})
endif()

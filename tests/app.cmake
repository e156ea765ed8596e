# The application shell, and the real helper run as a whole.
if(TARGET tessaryn_gui)
  tessaryn_test(app_system_tests SOURCES AppSystemTest.cpp RealProcesses.cpp
    PROPERTIES RESOURCE_LOCK real_processes TIMEOUT 120)
  add_dependencies(app_system_tests tessaryn-helper)
  target_compile_definitions(app_system_tests PRIVATE TESSARYN_CMAKE_COMMAND="${CMAKE_COMMAND}")
endif()

# The real helper against hostile files and processes.
if(TARGET tessaryn-helper)
  add_test(NAME hostile_system_test COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/hostile_system_test.py)
  set_tests_properties(hostile_system_test PROPERTIES RESOURCE_LOCK real_processes TIMEOUT 180
    ENVIRONMENT "TESSARYN_HELPER=$<TARGET_FILE:tessaryn-helper>")
endif()

# The application shell, and the real helper run as a whole.
if(TARGET tessaryn_gui)
  tessaryn_test(app_system_tests SOURCES AppSystemTest.cpp RealProcesses.cpp
    PROPERTIES RESOURCE_LOCK real_processes TIMEOUT 120)
  add_dependencies(app_system_tests tessaryn-helper)
  target_compile_definitions(app_system_tests PRIVATE TESSARYN_CMAKE_COMMAND="${CMAKE_COMMAND}")
endif()


# The server manager on a virtual clock with scripted processes, and with real ones. Both probe
# port 9876, and the real ones run node: one at a time.
tessaryn_test(server_manager_tests SOURCES ServerManagerTest.cpp RealProcesses.cpp
  PROPERTIES RESOURCE_LOCK real_processes)
tessaryn_test(server_process_tests SOURCES ServerProcessTest.cpp RealProcesses.cpp
  PROPERTIES RESOURCE_LOCK real_processes TIMEOUT 120)

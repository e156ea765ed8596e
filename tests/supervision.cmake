# The server manager on a virtual clock with scripted processes, and with real ones. Both probe
# port 9876, and the real ones run node: one at a time.
tessaryn_test(server_manager_tests SOURCES ServerManagerTest.cpp
  PROPERTIES RESOURCE_LOCK port_9876)
tessaryn_test(server_process_tests SOURCES ServerProcessTest.cpp
  PROPERTIES RESOURCE_LOCK port_9876 TIMEOUT 120)

# The desktop as its panels see the helper: the real helper on an X server and a private session
# bus of its own, with a StatusNotifierItem watcher and host in Debian's Python (dbus and gi).
if(TARGET tessaryn-helper)
  find_program(TESSARYN_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
  add_test(NAME sni_system_test
    COMMAND ${TESSARYN_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/sni_system_test.py $<TARGET_FILE:tessaryn-helper>)
  set_tests_properties(sni_system_test PROPERTIES RESOURCE_LOCK real_processes TIMEOUT 120)
endif()

# The installed menu entry and AppStream metadata as the desktop's own validators judge them:
# not even a hint.
find_program(DESKTOP_FILE_VALIDATE desktop-file-validate REQUIRED)
find_program(APPSTREAMCLI appstreamcli REQUIRED)
add_test(NAME desktop_entry_valid COMMAND ${DESKTOP_FILE_VALIDATE}
  ${CMAKE_SOURCE_DIR}/resources/desktop/app.marovant.tessaryn-helper.desktop)
add_test(NAME appstream_metadata_valid COMMAND ${APPSTREAMCLI} validate --no-net
  ${CMAKE_BINARY_DIR}/resources/desktop/app.marovant.tessaryn-helper.metainfo.xml)
set_tests_properties(desktop_entry_valid PROPERTIES FAIL_REGULAR_EXPRESSION ".")

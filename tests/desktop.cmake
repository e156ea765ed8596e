# The installed menu entry and AppStream metadata as the desktop's own validators judge them:
# not even a hint.
find_program(DESKTOP_FILE_VALIDATE desktop-file-validate REQUIRED)
find_program(APPSTREAMCLI appstreamcli REQUIRED)
add_test(NAME desktop_entry_valid COMMAND ${DESKTOP_FILE_VALIDATE}
  ${CMAKE_SOURCE_DIR}/resources/desktop/app.marovant.tessaryn-helper.desktop)
add_test(NAME appstream_metadata_valid COMMAND ${APPSTREAMCLI} validate --no-net
  ${CMAKE_BINARY_DIR}/resources/desktop/app.marovant.tessaryn-helper.metainfo.xml)
set_tests_properties(desktop_entry_valid PROPERTIES FAIL_REGULAR_EXPRESSION ".")

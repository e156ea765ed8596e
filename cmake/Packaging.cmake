# The Debian package, made by CPack from the install rules: scripts/package configures a build
# for /usr and runs cpack -G DEB in it.

set(TESSARYN_PACKAGE_MAINTAINER "Marovant <packages@marovant.app>" CACHE STRING
  "The Maintainer of the Debian package: a name and an e-mail address")

# The package's documents: the copyright statement, and a changelog of this version.
execute_process(COMMAND date -u -R -d "${TESSARYN_RELEASE_DATE} 12:00"
  OUTPUT_VARIABLE TESSARYN_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(package_docs ${CMAKE_BINARY_DIR}/package-docs)
configure_file(${CMAKE_SOURCE_DIR}/resources/package/changelog.in ${package_docs}/changelog @ONLY)
add_custom_command(
  OUTPUT ${package_docs}/changelog.gz
  COMMAND gzip -9nfk changelog
  WORKING_DIRECTORY ${package_docs}
  DEPENDS ${package_docs}/changelog
  VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${package_docs}/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/resources/package/copyright ${package_docs}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tessaryn-helper)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaryn-helper)
set(CPACK_PACKAGE_VENDOR Marovant)
set(CPACK_PACKAGE_CONTACT ${TESSARYN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps the Tessaryn server running beside Adobe Premiere Pro")
set(CPACK_PACKAGE_DESCRIPTION [=[
Tessaryn Helper keeps the local server of the Tessaryn panel for Adobe
Premiere Pro alive: it runs the bundled Node.js server on 127.0.0.1:9876
while, and only while, Premiere Pro runs, restarts it after crashes, and
installs or updates the panel's plugin package at every start.

It has no window: while Premiere Pro runs, a coloured icon in the system
tray shows the server's state, with a small menu. It starts at login.]=])
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tessaryn.app)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "nodejs (>= 18), unzip, procps")
# xdg-open shows the log folder and the documentation from the menu.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)

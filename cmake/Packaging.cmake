# What `cmake --install` puts under the prefix, and the Debian package that
# `cpack` makes of it (scripts/package.sh). Only the two programs and their
# data are installed: no library, header, test or benchmark.
include(GNUInstallDirs)

# Directories made by the install are 0755 whatever the umask, as a package
# needs them.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS pelko-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(KM_BUILD_APP)
  install(TARGETS pelko RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

set(KM_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
# Debian's own path, not DOCDIR: that is named after the project, "Pelko".
set(KM_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/pelko)

function(km_gzip_file source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DIN=${source} -DOUT=${output}
            -P ${PROJECT_SOURCE_DIR}/cmake/Gzip.cmake
    DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/Gzip.cmake
    COMMENT "Compressing ${source}"
    VERBATIM)
endfunction()

set(KM_COMPRESSED ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
km_gzip_file(${KM_PACKAGING_DIR}/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES ${KM_PACKAGING_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${KM_PACKAGE_DOCDIR})

# The manual pages, compressed as Debian wants them.
set(KM_MANPAGES pelko-cli)
if(KM_BUILD_APP)
  list(APPEND KM_MANPAGES pelko)
endif()
foreach(page ${KM_MANPAGES})
  km_gzip_file(${PROJECT_SOURCE_DIR}/docs/${page}.1 ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz)
  list(APPEND KM_COMPRESSED ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_target(km_compressed_docs ALL DEPENDS ${KM_COMPRESSED})

if(KM_BUILD_APP)
  # A file manager offers the window for a folder.
  install(FILES ${KM_PACKAGING_DIR}/pelko.desktop
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  install(FILES ${KM_PACKAGING_DIR}/pelko.svg
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
endif()

# The changelog's latest entry names the version being packaged.
file(STRINGS ${KM_PACKAGING_DIR}/changelog KM_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT KM_CHANGELOG_HEAD MATCHES "^pelko \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/changelog has no entry for version ${PROJECT_VERSION} at its top")
endif()

set(KM_PACKAGE_MAINTAINER "The Pelko developers <pelko@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelko)
set(CPACK_PACKAGE_VENDOR "The Pelko developers")
set(CPACK_PACKAGE_CONTACT "${KM_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps a ZIP archive in step with a folder")
set(CPACK_PACKAGE_DESCRIPTION [[
Pelko makes a ZIP archive of a folder and, on each later run, adds the new
files, replaces the changed ones and drops the entries whose files are gone;
it can then test every entry. An update is written inside a transaction, so
a run that is stopped or killed leaves the archive as it was.

This package holds pelko, a small Qt window for one folder, and pelko-cli,
the same update for scripts and schedulers, which also lists, tests and
extracts ZIP archives, split sets included.]])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(KM_BUILD_APP)
  # Qt loads its display plugins at run time, so no library names them: without
  # one the window cannot open.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
endif()
# Only the binary package; the sources are the git tree.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

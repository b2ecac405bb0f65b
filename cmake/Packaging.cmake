# The Debian package: `cpack -G DEB` in a build tree packs what
# `cmake --install` would put under /usr.

set(TRELVO_PACKAGE_MAINTAINER "Trelvo developers <trelvo@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# What a Debian package carries beside the programs: man pages and the
# changelog compressed as Debian wants them (gzip -9n: no name, no time), the
# copyright, the bash completion, and the mark that the program directory is
# an install, which the programs then never write.
set(trelvo_pkg_dir ${CMAKE_BINARY_DIR}/package)
file(MAKE_DIRECTORY ${trelvo_pkg_dir})
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${trelvo_pkg_dir}/changelog.Debian @ONLY)
set(trelvo_man_pages trelvo-convert.1)
if(TRELVO_BUILD_GUI)
  list(APPEND trelvo_man_pages trelvo.1)
endif()
set(trelvo_gz_outputs)
foreach(source ${trelvo_man_pages})
  add_custom_command(OUTPUT ${trelvo_pkg_dir}/${source}.gz
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/man/${source} > ${trelvo_pkg_dir}/${source}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${source} VERBATIM)
  list(APPEND trelvo_gz_outputs ${trelvo_pkg_dir}/${source}.gz)
  install(FILES ${trelvo_pkg_dir}/${source}.gz DESTINATION share/man/man1)
endforeach()
add_custom_command(OUTPUT ${trelvo_pkg_dir}/changelog.Debian.gz
  COMMAND gzip -9n -c ${trelvo_pkg_dir}/changelog.Debian > ${trelvo_pkg_dir}/changelog.Debian.gz
  DEPENDS ${trelvo_pkg_dir}/changelog.Debian VERBATIM)
add_custom_target(trelvo_package_docs ALL DEPENDS ${trelvo_gz_outputs} ${trelvo_pkg_dir}/changelog.Debian.gz)
install(FILES ${trelvo_pkg_dir}/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
  DESTINATION share/doc/trelvo)
install(FILES ${PROJECT_SOURCE_DIR}/docs/completion/trelvo-convert
  DESTINATION share/bash-completion/completions)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/installed DESTINATION ${TRELVO_INSTALL_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trelvo)
set(CPACK_PACKAGE_VENDOR "Trelvo")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "video-recorder stream files to MP4 and AVI")
set(CPACK_PACKAGE_DESCRIPTION
    "Trelvo turns the stream files that video recorders and surveillance cameras
write (raw H.264/H.265 streams, MPEG program streams with G.711 or AAC audio)
into MP4 and AVI files that any player opens. Video is copied, never
re-encoded.")
if(TRELVO_BUILD_GUI)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "

The package holds the desktop program (trelvo) and the command-line
converter (trelvo-convert).")
  # Qt draws no window without a platform plugin, which Qt only recommends;
  # its own dialogs speak the chosen language only with its translations.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-translations-l10n")
else()
  string(APPEND CPACK_PACKAGE_DESCRIPTION "

The package holds the command-line converter (trelvo-convert).")
endif()

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TRELVO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies are what the binaries link against, as dpkg-shlibdeps finds
# them; our own libraries are found beside the programs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${TRELVO_BIN_DIR})
# The build tree keeps the symbols; crash dumps name the build id to match.
set(CPACK_STRIP_FILES ON)
# A purge removes what earlier versions left in the program directory.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/trelvo")

include(CPack)

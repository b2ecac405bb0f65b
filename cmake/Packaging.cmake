# The Debian package: `cpack -G DEB` in a build tree packs what
# `cmake --install` would put under /usr.

set(TRELVO_PACKAGE_MAINTAINER "Trelvo developers <trelvo@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

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

include(CPack)

# `cpack -G DEB` in a release tree makes talvekconfig_<version>_<arch>.deb with
# everything `cmake --install` puts in place, under /usr. The shared libraries
# the programs link decide the dependencies (dpkg-shlibdeps); what they only
# use when present is recommended.
set(CPACK_PACKAGE_NAME talvekconfig)
set(CPACK_PACKAGE_VENDOR Brenlow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keys of the Talvek security layer: wizard, CLI and crypto server")
set(CPACK_PACKAGE_DESCRIPTION
    "TalvekConfig creates and maintains the RSA keys of the secure channels that
protect the traffic between an Orvane server and its users. The package holds
the desktop program talvekconfig, the command-line tool talvekkey and the
crypto server talvek-cryptoserver with its systemd unit.")
# The maintainer's address needs a host that is a domain name: lintian
# refuses "localhost". brenlow.example stands in for the project's address;
# the .example domain is reserved (RFC 2606), so mail to it never reaches a
# stranger. Whoever publishes the package sets an address that answers.
set(TALVEK_PACKAGE_CONTACT "TalvekConfig developers <talvekconfig@brenlow.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${TALVEK_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's own texts in Russian, opening reports in the browser, Wayland sessions.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, xdg-utils, qt6-wayland")
# Nothing but the programs and their data: the libraries of the build are
# static, the tests and benchmarks install nothing.
set(CPACK_STRIP_FILES ON)
if(NOT CMAKE_INSTALL_PREFIX STREQUAL CPACK_PACKAGING_INSTALL_PREFIX)
  # The programs also find their data beside their own folder, so a package
  # from a tree configured for another prefix still works; say so anyway.
  message(STATUS "The Debian package installs under ${CPACK_PACKAGING_INSTALL_PREFIX}; "
                 "configure with -DCMAKE_INSTALL_PREFIX=${CPACK_PACKAGING_INSTALL_PREFIX} "
                 "so the programs' built-in data folder matches")
endif()

# `strip` with no arguments, as CPack calls it, leaves the compiler's
# version notes (.comment); Debian's dh_strip takes them out, and so do we
# for every stripped installation.
if(CMAKE_STRIP)
  install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(program talvekconfig talvekkey talvek-cryptoserver)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")
endif()

include(CPack)

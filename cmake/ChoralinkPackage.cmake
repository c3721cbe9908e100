# `make package`: the relocatable tarball the application's updater installs.
#
# Everything the project installs (cmake --install: bin/, share/, ...) lands
# in versions/<version>/ of the tarball, beside the marker that tells the
# updater this is our own package, and a `current` symlink points at it:
#
#   Choralink-<version>-Linux/current -> versions/<version>
#   Choralink-<version>-Linux/versions/<version>/choralink-package
#   Choralink-<version>-Linux/versions/<version>/bin/choralink
#
# Unpacked anywhere, it starts from current/bin/choralink; an update is the
# same tarball of a newer version. The top-level Makefile's `package` target
# builds with the public key and signs the result (README, "Updates").
set(CHORALINK_PACKAGE_VERSION_DIR "versions/${PROJECT_VERSION}")

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME Choralink)
set(CPACK_PACKAGE_VENDOR Choralink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "Choralink-${PROJECT_VERSION}-Linux")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/${CHORALINK_PACKAGE_VERSION_DIR}")

# Only a packaging run installs into the versioned prefix; a plain
# `cmake --install` to /usr or /usr/local gets neither marker nor link, so a
# system install never tries to update itself.
install(CODE "
  if(CMAKE_INSTALL_PREFIX MATCHES \"/${CHORALINK_PACKAGE_VERSION_DIR}\$\")
    set(_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    file(WRITE \"\${_dir}/choralink-package\" \"${PROJECT_VERSION}\\n\")
    file(CREATE_LINK \"${CHORALINK_PACKAGE_VERSION_DIR}\" \"\${_dir}/../../current\" SYMBOLIC)
  endif()
")

include(CPack)

# Read by cpack for each package it makes.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_WDT_DEBIAN_PACKAGE)
  message(FATAL_ERROR "wdtctl: this build folder does not make the Debian package: run scripts/build_deb.sh, "
          "which builds with Debian's prefix (/usr) and hardening flags and makes the .deb in build/package")
endif()

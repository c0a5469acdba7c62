# Installation and packages. Components: "tool" (wdtctl, its manual and, on Linux, the systemd unit
# and its settings), "simulated_driver" (the stand-in WDT.dll, never installed unless asked for)
# and, on Linux, "kernel_driver" (WDT.dll on the watchdog devices). The driver library goes beside
# the executable, where the tool looks first.
include(GNUInstallDirs)
# Who answers for the package; a packager sets the real address.
set(WDT_PACKAGE_CONTACT "wdtctl developers <wdtctl@example.org>" CACHE STRING "Maintainer of the packages")
set(CPACK_PACKAGE_CONTACT "${WDT_PACKAGE_CONTACT}")
set(WDT_PACKAGING ${CMAKE_CURRENT_LIST_DIR})
set(WDT_MANUAL ${WDT_PACKAGING}/wdtctl.8)

if(WIN32)
  set(WDT_TOOL_DIR .)
  set(WDT_SIMULATED_DIR simulated)  # kept apart, so that it never stands in for a real driver by accident
  math(EXPR WDT_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
  # The manual's Windows edition as a text file with Windows line ends, which any editor opens.
  find_program(WDT_GROFF groff REQUIRED)
  add_custom_command(OUTPUT wdtctl-manual.txt
    COMMAND ${WDT_GROFF} -man -Tascii -rW1 -P-cbou ${WDT_MANUAL} | sed "s/$/\\r/" > wdtctl-manual.txt
    DEPENDS ${WDT_MANUAL} VERBATIM)
  add_custom_target(manual ALL DEPENDS wdtctl-manual.txt)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/wdtctl-manual.txt ${WDT_PACKAGING}/wdtctl.rules.yml DESTINATION .
          COMPONENT tool)
  include(${WDT_PACKAGING}/windows/msi.cmake)
else()
  # The tool and its library in a private folder, and a link in sbin: the tool finds the library
  # beside its real file, through the link.
  set(WDT_TOOL_DIR ${CMAKE_INSTALL_LIBDIR}/wdtctl)
  if(CMAKE_INSTALL_LIBDIR MATCHES "^lib/")  # a multiarch folder: the private one is plain lib/wdtctl
    set(WDT_TOOL_DIR lib/wdtctl)
  endif()
  set(WDT_SIMULATED_DIR ${WDT_TOOL_DIR})
  set(WDT_TOOL_LINK ${CMAKE_INSTALL_FULL_SBINDIR}/wdtctl)
  file(RELATIVE_PATH WDT_LINK_TARGET ${CMAKE_INSTALL_FULL_SBINDIR} ${CMAKE_INSTALL_PREFIX}/${WDT_TOOL_DIR}/wdtctl)
  file(CREATE_LINK ${WDT_LINK_TARGET} ${CMAKE_CURRENT_BINARY_DIR}/wdtctl-link SYMBOLIC)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/wdtctl-link DESTINATION ${CMAKE_INSTALL_SBINDIR} RENAME wdtctl
          COMPONENT tool)

  add_custom_command(OUTPUT wdtctl.8.gz COMMAND gzip -9n -c ${WDT_MANUAL} > wdtctl.8.gz DEPENDS ${WDT_MANUAL})
  add_custom_target(manual ALL DEPENDS wdtctl.8.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/wdtctl.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT tool)

  # The unit and its settings; with the prefix /usr they go where Debian keeps them.
  set(WDT_SETTINGS_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/wdtctl)
  set(WDT_UNIT_DIR lib/systemd/system)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(WDT_UNIT_DIR /lib/systemd/system)
  endif()
  configure_file(${WDT_PACKAGING}/wdtctl.service.in wdtctl.service @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/wdtctl.service ${WDT_PACKAGING}/wdtctl-sleep.service
          DESTINATION ${WDT_UNIT_DIR} COMPONENT tool)
  install(FILES ${WDT_PACKAGING}/default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME wdtctl
          COMPONENT tool)
  # The keep-alive's record folder, in the package, so that an image whose /var/lib is read-only has it.
  install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/wdtctl COMPONENT tool)

  configure_file(${WDT_PACKAGING}/changelog.in changelog.txt @ONLY)
  add_custom_command(OUTPUT changelog.gz COMMAND gzip -9n -c changelog.txt > changelog.gz
                     DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.txt)
  add_custom_target(debian_changelog ALL DEPENDS changelog.gz)
  install(FILES ${WDT_PACKAGING}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)
  # Alert rules on the keep-alive's metrics, for Prometheus.
  install(FILES ${WDT_PACKAGING}/wdtctl.rules.yml DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT tool)
endif()
install(TARGETS wdtctl RUNTIME DESTINATION ${WDT_TOOL_DIR} COMPONENT tool)
install(TARGETS simulated_driver LIBRARY DESTINATION ${WDT_SIMULATED_DIR} COMPONENT simulated_driver EXCLUDE_FROM_ALL)
if(TARGET kernel_driver)
  install(TARGETS kernel_driver LIBRARY DESTINATION ${WDT_TOOL_DIR} COMPONENT kernel_driver EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME wdtctl)
set(CPACK_PACKAGE_VENDOR "wdtctl developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_COMPONENTS_ALL tool simulated_driver)
  set(CPACK_SYSTEM_NAME windows-${WDT_BITS}bit)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_COMPONENTS_ALL tool kernel_driver)
  set(CPACK_PACKAGE_DESCRIPTION
      "wdtctl arms a hardware watchdog with a timeout of 1 to 512 seconds, disables
it, refreshes it once, or keeps refreshing it at a chosen period, so that the
machine is reset only when the tool, or the system beneath it, stops running.
It comes with a driver library for the kernel's watchdog devices and a systemd
unit, disabled until enabled, that keeps a watchdog armed from early boot.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS prometheus-node-exporter)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${WDT_PACKAGING}/conffiles ${WDT_PACKAGING}/postinst ${WDT_PACKAGING}/prerm ${WDT_PACKAGING}/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # A .deb needs Debian's prefix, /usr (the settings file then goes to /etc/default, where the unit
  # and conffiles name it), and Debian's hardening flags. scripts/build_deb.sh configures a build
  # folder so; cpack refuses the package of any other build folder and names that script.
  option(WDT_DEBIAN_PACKAGE "Set by scripts/build_deb.sh: this build folder makes the Debian package" OFF)
  set(CPACK_WDT_DEBIAN_PACKAGE ${WDT_DEBIAN_PACKAGE})
  set(CPACK_PROJECT_CONFIG_FILE ${WDT_PACKAGING}/cpack_checks.cmake)
endif()
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
include(CPack)

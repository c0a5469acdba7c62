# The Windows installer, wdtctl-<version>-windows-<bits>bit.msi in the build folder, made with wixl
# from wdtctl.wxs.in: the tool and the manual's Windows edition, the simulated driver as a feature
# that is off unless asked for, and service_setup.dll, the installer's own step for the service.
add_library(service_setup MODULE ${WDT_PACKAGING}/windows/service_setup.cpp ${PROJECT_SOURCE_DIR}/platform/access_windows.cpp
            ${PROJECT_SOURCE_DIR}/platform/win32.cpp)
target_include_directories(service_setup PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(service_setup PROPERTIES PREFIX "" OUTPUT_NAME service_setup)
target_compile_options(service_setup PRIVATE ${WDT_WARNINGS})
target_link_libraries(service_setup PRIVATE msi)
# The installer finds the entries by their plain names, also the 32-bit __stdcall ones.
target_link_options(service_setup PRIVATE -Wl,--kill-at)

find_program(WDT_WIXL wixl)
find_program(WDT_MSIBUILD msibuild)
if(NOT WDT_WIXL OR NOT WDT_MSIBUILD)
  message(WARNING "wixl or msibuild not found: no Windows installer is made (Debian packages wixl and msitools)")
  return()
endif()
# What wixl cannot say, set in the built installer's tables: the stop on rollback is a rollback
# action (3393: deferred in the script as a rollback, without impersonation, its result ignored);
# an installer of the same version upgrades the installed one (the upgrade's highest version is
# inclusive, 0x200; a key column, so the row is made anew); and the settings pass from the client
# to an elevated install (secure properties). The installed one is removed within the install's own
# transaction (after InstallInitialize), so that an upgrade that fails or is cancelled brings it
# back, its service with it, rather than leave the machine unguarded. The simulated driver is
# installed only where its feature is named (ADDLOCAL=...,SimulatedDriver), never by ADDLOCAL=ALL,
# a habit of silent installs that would put it before a vendor's library; once installed, a repair
# or an uninstall takes it as any other file.
set(WDT_MSI_UPGRADE_CODE "6b0f3c52-4f0e-4d2a-9f4c-7a3d1e2b8c10")
set(WDT_MSI_FIXES
  -q "UPDATE `CustomAction` SET `Type` = 3393 WHERE `Action` = 'StopServiceOnRollback'"
  -q "UPDATE `InstallExecuteSequence` SET `Sequence` = 1501 WHERE `Action` = 'RemoveExistingProducts'"
  -q "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"
  -q "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('{${WDT_MSI_UPGRADE_CODE}}', '${PROJECT_VERSION}', 513, 'WIX_UPGRADE_DETECTED')"
  -q "UPDATE `Component` SET `Condition` = 'Installed OR ADDLOCAL >< \"SimulatedDriver\"' WHERE `Component` = 'SimulatedDriver'"
  -q "UPDATE `Property` SET `Value` = 'WIX_DOWNGRADE_DETECTED$<SEMICOLON>WIX_UPGRADE_DETECTED$<SEMICOLON>WATCHDOG$<SEMICOLON>TIMEOUT$<SEMICOLON>PERIOD$<SEMICOLON>HEARTBEAT$<SEMICOLON>CHECK$<SEMICOLON>GRACE$<SEMICOLON>REPAIR$<SEMICOLON>PRIVILEGES$<SEMICOLON>METRICS_DIR' WHERE `Property` = 'SecureCustomProperties'")
# The installed programs without their debugging information, as in the ZIP; wixl takes the files
# by paths relative to the folder it runs in.
set(WDT_MSI_TOOL msi/wdtctl.exe)
set(WDT_MSI_SIMULATED msi/WDT.dll)
set(WDT_MSI_MANUAL wdtctl-manual.txt)
set(WDT_SERVICE_SETUP msi/service_setup.dll)
if(WDT_BITS EQUAL 64)
  set(WDT_MSI_ARCH x64)
  set(WDT_MSI_PROGRAM_FILES ProgramFiles64Folder)
  set(WDT_MSI_WIN64 yes)
else()
  set(WDT_MSI_ARCH x86)
  set(WDT_MSI_PROGRAM_FILES ProgramFilesFolder)
  set(WDT_MSI_WIN64 no)
endif()
set(WDT_MSI_TEST_ACTION "")
set(WDT_MSI_TEST_STEP "")
configure_file(${WDT_PACKAGING}/windows/wdtctl.wxs.in wdtctl.wxs @ONLY)
# For the tests only, never shipped: the same installer with a step that fails it after the service
# started, so that its rollback is seen.
set(WDT_MSI_TEST_ACTION "\n    <CustomAction Id=\"FailInstallation\" BinaryKey=\"ServiceSetup\" DllEntry=\"FailInstallation\" Execute=\"deferred\" Impersonate=\"no\" Return=\"check\"/>")
set(WDT_MSI_TEST_STEP "\n      <Custom Action=\"FailInstallation\" Sequence=\"5860\">NOT REMOVE</Custom>")
configure_file(${WDT_PACKAGING}/windows/wdtctl.wxs.in wdtctl-failing.wxs @ONLY)
set(WDT_MSI ${CMAKE_BINARY_DIR}/wdtctl-${PROJECT_VERSION}-windows-${WDT_BITS}bit.msi)
set(WDT_FAILING_MSI ${CMAKE_BINARY_DIR}/test_installers/wdtctl-failing.msi)
# Also for the tests: the same installer once more, another product of the same upgrade code and
# version, which upgrades the first.
set(WDT_OTHER_MSI ${CMAKE_BINARY_DIR}/test_installers/wdtctl-other.msi)
add_custom_command(OUTPUT ${WDT_MSI} ${WDT_FAILING_MSI} ${WDT_OTHER_MSI}
  COMMAND ${CMAKE_COMMAND} -E make_directory msi ${CMAKE_BINARY_DIR}/test_installers
  COMMAND ${CMAKE_STRIP} -o ${WDT_MSI_TOOL} $<TARGET_FILE:wdtctl>
  COMMAND ${CMAKE_STRIP} -o ${WDT_MSI_SIMULATED} $<TARGET_FILE:simulated_driver>
  COMMAND ${CMAKE_STRIP} -o ${WDT_SERVICE_SETUP} $<TARGET_FILE:service_setup>
  COMMAND ${WDT_WIXL} -a ${WDT_MSI_ARCH} -o ${WDT_MSI} ${CMAKE_CURRENT_BINARY_DIR}/wdtctl.wxs
  COMMAND ${WDT_MSIBUILD} ${WDT_MSI} ${WDT_MSI_FIXES}
  COMMAND ${WDT_WIXL} -a ${WDT_MSI_ARCH} -o ${WDT_FAILING_MSI} ${CMAKE_CURRENT_BINARY_DIR}/wdtctl-failing.wxs
  COMMAND ${WDT_MSIBUILD} ${WDT_FAILING_MSI} ${WDT_MSI_FIXES}
  COMMAND ${WDT_WIXL} -a ${WDT_MSI_ARCH} -o ${WDT_OTHER_MSI} ${CMAKE_CURRENT_BINARY_DIR}/wdtctl.wxs
  COMMAND ${WDT_MSIBUILD} ${WDT_OTHER_MSI} ${WDT_MSI_FIXES}
  DEPENDS wdtctl simulated_driver service_setup manual ${CMAKE_CURRENT_BINARY_DIR}/wdtctl.wxs
          ${CMAKE_CURRENT_BINARY_DIR}/wdtctl-failing.wxs
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} VERBATIM)
add_custom_target(installer ALL DEPENDS ${WDT_MSI})

# The Windows installer, wdtctl-<version>-windows-<bits>bit.msi in the build folder, made with wixl
# from wdtctl.wxs.in: the tool and the manual's Windows edition, the simulated driver as a feature
# that is off unless asked for, and service_setup.dll, the installer's own step for the service.
add_library(service_setup MODULE ${WDT_PACKAGING}/windows/service_setup.cpp)
set_target_properties(service_setup PROPERTIES PREFIX "" OUTPUT_NAME service_setup)
target_compile_options(service_setup PRIVATE ${WDT_WARNINGS})
target_link_libraries(service_setup PRIVATE msi)
# The installer finds the entries by their plain names, also the 32-bit __stdcall ones.
target_link_options(service_setup PRIVATE -Wl,--kill-at)

find_program(WDT_WIXL wixl)
if(NOT WDT_WIXL)
  message(WARNING "wixl not found: no Windows installer is made (Debian package wixl)")
  return()
endif()
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
add_custom_command(OUTPUT ${WDT_MSI} ${WDT_FAILING_MSI}
  COMMAND ${CMAKE_COMMAND} -E make_directory msi ${CMAKE_BINARY_DIR}/test_installers
  COMMAND ${CMAKE_STRIP} -o ${WDT_MSI_TOOL} $<TARGET_FILE:wdtctl>
  COMMAND ${CMAKE_STRIP} -o ${WDT_MSI_SIMULATED} $<TARGET_FILE:simulated_driver>
  COMMAND ${CMAKE_STRIP} -o ${WDT_SERVICE_SETUP} $<TARGET_FILE:service_setup>
  COMMAND ${WDT_WIXL} -a ${WDT_MSI_ARCH} -o ${WDT_MSI} ${CMAKE_CURRENT_BINARY_DIR}/wdtctl.wxs
  COMMAND ${WDT_WIXL} -a ${WDT_MSI_ARCH} -o ${WDT_FAILING_MSI} ${CMAKE_CURRENT_BINARY_DIR}/wdtctl-failing.wxs
  DEPENDS wdtctl simulated_driver service_setup manual ${CMAKE_CURRENT_BINARY_DIR}/wdtctl.wxs
          ${CMAKE_CURRENT_BINARY_DIR}/wdtctl-failing.wxs
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} VERBATIM)
add_custom_target(installer ALL DEPENDS ${WDT_MSI})

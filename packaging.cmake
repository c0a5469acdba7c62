# Installation and packages: the tool alone, and the simulated driver as a separate component.
include(GNUInstallDirs)
install(TARGETS wdtctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
install(TARGETS simulated_driver LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulated_driver
        EXCLUDE_FROM_ALL)

# Installs the C++ library with its public headers as the CMake package OrvaneHardwareAPI:
#   find_package(OrvaneHardwareAPI 0.1 REQUIRED)
#   target_link_libraries(app PRIVATE OrvaneHardwareAPI::Library)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(_orvane_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/OrvaneHardwareAPI)

install(TARGETS OrvaneLibrary EXPORT OrvaneHardwareAPITargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
# The loops start it at run time: found beside the program, under this prefix's libexec, or
# where ORVANE_ZERO_GUARD names it (OrvaneHardwareAPI::orvane-zero-guard, to copy it along).
if(TARGET orvane-zero-guard)
    install(TARGETS orvane-zero-guard EXPORT OrvaneHardwareAPITargets
            RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR} COMPONENT Development)
endif()
install(DIRECTORY Library/include/ ${ORVANE_GENERATED_INCLUDE_DIR}/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development PATTERN "*.in" EXCLUDE)
install(EXPORT OrvaneHardwareAPITargets NAMESPACE OrvaneHardwareAPI::
        DESTINATION ${_orvane_package_dir} COMPONENT Development)

configure_package_config_file(cmake/OrvaneHardwareAPIConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/OrvaneHardwareAPIConfig.cmake
    INSTALL_DESTINATION ${_orvane_package_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OrvaneHardwareAPIConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/OrvaneHardwareAPIConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/OrvaneHardwareAPIConfigVersion.cmake
        DESTINATION ${_orvane_package_dir} COMPONENT Development)

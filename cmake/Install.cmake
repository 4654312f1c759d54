# Install rules, CMake package (find_package(TrovelSdk)) and pkg-config file.
include(CMakePackageConfigHelpers)

# Components lib and dev are the Debian packages libtrovelsdk1 and libtrovelsdk-dev.
install(TARGETS trovelsdk EXPORT TrovelSdkTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# The C++ interface: header-only, over the C header beside it.
install(FILES ${PROJECT_SOURCE_DIR}/include/trovel/trovel.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/trovel COMPONENT dev)

install(EXPORT TrovelSdkTargets NAMESPACE TrovelSdk:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TrovelSdk COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TrovelSdkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TrovelSdkConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TrovelSdk)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TrovelSdkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TrovelSdkConfig.cmake ${PROJECT_BINARY_DIR}/TrovelSdkConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TrovelSdk COMPONENT dev)

# Relative to the .pc file, so that an install moved to another prefix still resolves.
file(RELATIVE_PATH TROVEL_PC_RELATIVE_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${PROJECT_SOURCE_DIR}/cmake/trovelsdk.pc.in ${PROJECT_BINARY_DIR}/trovelsdk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/trovelsdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Debian packages with CPack: libtrovelsdk1 (the library), libtrovelsdk-dev (headers, CMake
# package, pkg-config file) and trovel-tools (the programs, their man pages and completion).
#   cpack --config build/linux-release/CPackConfig.cmake -B build/packages
# Install rules name their component (lib, dev); everything else installed, the programs'
# rules included, falls into tools (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME).
# Embedded in a host's build, the host's own packaging is left alone.
if(WIN32 OR NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_PACKAGE_NAME trovelsdk)
set(CPACK_PACKAGE_VENDOR "Trovel")
set(TROVEL_PACKAGE_CONTACT "TrovelSdk developers <sdk@trovel.example>" CACHE STRING
  "Maintainer of the Debian packages: NAME <ADDRESS>")
set(CPACK_PACKAGE_CONTACT "${TROVEL_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description starts with its own synopsis; CPack prepends the summary
# unless it is CPack's default, so it is that.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(TROVEL_HOMEPAGE "https://trovel.example/trovelsdk" CACHE STRING "Home page named by the packages")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TROVEL_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_STRIP_FILES ON)
# Dependencies on libc and the C++ runtime from what the binaries link; the library's shlibs
# file tells other packages' dpkg-shlibdeps what to depend on.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libtrovelsdk${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# The loader's cache is refreshed once per dpkg run, after every package is unpacked.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION "Host library for Trovel sliding-screen controllers
TrovelSdk drives Trovel sliding-screen controllers over Modbus RTU
(19200 baud, up to sixteen on an RS-485 line) or through Modbus TCP and
RTU-over-TCP gateways. This package holds the shared library libtrovelsdk.so.${PROJECT_VERSION_MAJOR}.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtrovelsdk-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_DEV_DESCRIPTION "Development files of TrovelSdk
Headers of the C interface (TrovelSdk.h) and of the header-only C++
interface (trovel/trovel.hpp), the CMake package (find_package(TrovelSdk))
and the pkg-config file (trovelsdk) for building hosts of Trovel
sliding-screen controllers.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME trovel-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS lib)
set(tools_summary "trovelctl, the operator's tool, and trovel-sim, a controller simulator.")
if(TARGET trovel-gateway)
  set(tools_summary "${tools_summary}\ntrovel-gateway serves lines to Modbus TCP clients, MQTT and a browser.")
endif()
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Tools for Trovel sliding-screen controllers
${tools_summary}
Serial ports belong to the dialout group: add the users who drive screens
to it (sudo usermod -aG dialout USER).")

# trovel-gateway is built where its sources are; its systemd unit joins it when one exists.
set(TROVEL_POSTINST_UNIT ":")
if(TARGET trovel-gateway)
  file(GLOB_RECURSE units ${PROJECT_SOURCE_DIR}/tools/gateway/*trovel-gateway.service
    ${PROJECT_SOURCE_DIR}/packaging/*trovel-gateway.service)
  list(SORT units)
  list(LENGTH units found)
  if(found)
    list(GET units 0 unit)
    install(FILES ${unit} DESTINATION lib/systemd/system COMPONENT tools EXCLUDE_FROM_ALL)
    # Installed, not enabled: a service that can move screens starts only when asked to.
    set(TROVEL_POSTINST_UNIT "if [ -d /run/systemd/system ]; then systemctl daemon-reload || true; fi")
  endif()
endif()
set(deb ${PROJECT_BINARY_DIR}/packaging/debian)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/postinst.in ${deb}/postinst @ONLY)
file(CHMOD ${deb}/postinst PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${deb}/postinst)

# Each package carries its copyright and changelog; a plain install does not.
set(TROVEL_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
# SOURCE_DATE_EPOCH, when set, fixes the date.
string(TIMESTAMP TROVEL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${deb}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${deb}/changelog)
foreach(component lib dev tools)
  string(TOUPPER ${component} upper)
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/LICENSE.txt DESTINATION ${doc} RENAME copyright
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${deb}/changelog.gz DESTINATION ${doc} RENAME changelog.Debian.gz
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/README.Debian
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/trovel-tools COMPONENT tools EXCLUDE_FROM_ALL)

# In the packages' staging tree only: man pages compressed, and no run path (the programs
# sit in /usr/bin, the library in /usr/lib where the loader looks anyway).
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebStaging.cmake)
include(CPack)

# Installed programs find the library through a run path relative to themselves, so an
# install into any prefix (/opt/trovel, ~/.local, a scratch folder) runs without
# LD_LIBRARY_PATH or ldconfig.
file(RELATIVE_PATH TROVEL_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})

function(trovel_install_program target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${TROVEL_BIN_TO_LIB}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# CLI11, for the programs' command lines: the Debian package's CMake config, or in the cross
# build the build machine's header-only copy (Debian: libcli11-dev) through a folder holding
# that alone, since the rest of /usr/include is the build machine's C library, not the
# target's. The target is global, so every program's folder sees the one made first.
function(trovel_find_cli11)
  if(TARGET CLI11::CLI11)
    return()
  endif()
  if(NOT WIN32)
    find_package(CLI11 CONFIG QUIET GLOBAL)
    return()
  endif()
  find_path(TROVEL_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  if(TROVEL_CLI11_INCLUDE)
    set(cli11 ${PROJECT_BINARY_DIR}/cli11-include)
    file(MAKE_DIRECTORY ${cli11})
    file(CREATE_LINK ${TROVEL_CLI11_INCLUDE}/CLI ${cli11}/CLI SYMBOLIC)
    add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
    target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${cli11})
  endif()
endfunction()

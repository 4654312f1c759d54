# Installed programs find the library through a run path relative to themselves, so an
# install into any prefix (/opt/trovel, ~/.local, a scratch folder) runs without
# LD_LIBRARY_PATH or ldconfig.
file(RELATIVE_PATH TROVEL_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})

function(trovel_install_program target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${TROVEL_BIN_TO_LIB}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

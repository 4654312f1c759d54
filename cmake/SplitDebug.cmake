# The shipped DLL is stripped; its debug information stays beside it in NAME.dll.debug,
# which gdb finds through the debug link, to read crash dumps and addresses from the field.
# Uses the toolchain's objcopy and strip; other platforms are left as they are.
function(trovel_split_debug target)
  if(NOT WIN32 OR NOT CMAKE_OBJCOPY OR NOT CMAKE_STRIP)
    return()
  endif()
  # Our own code and the core linked into it carry debug information too, not only the
  # runtime libraries; -g does not change the code generated.
  target_compile_options(${target} PRIVATE -g)
  get_target_property(libraries ${target} LINK_LIBRARIES)
  foreach(library IN LISTS libraries)
    if(TARGET ${library})
      get_target_property(type ${library} TYPE)
      get_target_property(imported ${library} IMPORTED)
      if(NOT type STREQUAL "INTERFACE_LIBRARY" AND NOT imported) # header-only: nothing compiled
        target_compile_options(${library} PRIVATE -g)
      endif()
    endif()
  endforeach()
  set(file $<TARGET_FILE_NAME:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${CMAKE_STRIP} --strip-all ${file}
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${file}.debug ${file}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    VERBATIM)
  install(FILES $<TARGET_FILE:${target}>.debug DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

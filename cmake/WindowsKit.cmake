# What a Windows build contributes to the user's kit (scripts/package-windows):
#
#  - import libraries made from src/api/TrovelSdk.def, in ${CMAKE_BINARY_DIR}/importlib:
#      TrovelSdk.lib       for Microsoft's linker, by llvm-dlltool: short import members, which
#                          the x86 linker's default /SAFESEH takes (GNU dlltool's long-format
#                          members, with thunks of their own, it rejects);
#      libTrovelSdk.dll.a  for MinGW, by the toolchain's dlltool.
#    On i686 both define the stdcall symbols the header makes callers reference
#    (_GetMotorSpeed@8) and import the plain names the DLL exports. The linker's own import
#    library lacks the @bytes, so a 32-bit caller could not link against it: the generated
#    one replaces it (src/CMakeLists.txt), for the programs of this build and the install.
#  - ${CMAKE_BINARY_DIR}/kit-files.txt: the files the kit takes from this build, one path a
#    line: the DLL, both import libraries, and each program named in TROVEL_KIT_PROGRAMS
#    that this build has as a target.

set(TROVEL_KIT_PROGRAMS "trovelctl;trovel-gateway" CACHE STRING
  "Programs shipped beside TrovelSdk.dll in the Windows kit, each when this build has a target of that name")

find_program(TROVEL_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14
  DOC "llvm-dlltool, for TrovelSdk.lib (Debian package llvm)")
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(TROVEL_IMPORT_LIB_DIR ${CMAKE_BINARY_DIR}/importlib)

function(trovel_import_libraries)
  set(def ${PROJECT_SOURCE_DIR}/src/api/TrovelSdk.def)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(machine i386)
    set(kill_at -k)
    set(import_def ${TROVEL_IMPORT_LIB_DIR}/TrovelSdk-stdcall.def)
    set(table ${PROJECT_SOURCE_DIR}/tests/windows/exports.txt)
    add_custom_command(OUTPUT ${import_def}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TROVEL_IMPORT_LIB_DIR}
      COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/stdcall_def.py --def ${def} --table ${table}
        --out ${import_def}
      DEPENDS ${def} ${table} ${PROJECT_SOURCE_DIR}/cmake/stdcall_def.py
      COMMENT "Decorating the exports with their stdcall argument bytes")
  else()
    set(machine i386:x86-64)
    set(kill_at)
    set(import_def ${def})
  endif()

  set(mingw_lib ${TROVEL_IMPORT_LIB_DIR}/libTrovelSdk.dll.a)
  set(msvc_lib ${TROVEL_IMPORT_LIB_DIR}/TrovelSdk.lib)
  add_custom_command(OUTPUT ${mingw_lib}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TROVEL_IMPORT_LIB_DIR}
    COMMAND ${CMAKE_DLLTOOL} -d ${import_def} -D TrovelSdk.dll ${kill_at} -l ${mingw_lib}
    DEPENDS ${import_def}
    COMMENT "Import library for MinGW: libTrovelSdk.dll.a")
  set(libs ${mingw_lib})
  if(TROVEL_LLVM_DLLTOOL)
    add_custom_command(OUTPUT ${msvc_lib}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TROVEL_IMPORT_LIB_DIR}
      COMMAND ${TROVEL_LLVM_DLLTOOL} -m ${machine} -d ${import_def} -D TrovelSdk.dll ${kill_at} -l ${msvc_lib}
      DEPENDS ${import_def}
      COMMENT "Import library for Microsoft's linker: TrovelSdk.lib")
    list(APPEND libs ${msvc_lib})
  else()
    message(WARNING "llvm-dlltool not found (Debian package llvm): no TrovelSdk.lib, and the kit cannot be packed")
  endif()
  add_custom_target(import_libraries ALL DEPENDS ${libs})
  set(TROVEL_IMPORT_LIBRARIES ${libs} PARENT_SCOPE)
endfunction()
trovel_import_libraries()

# Deferred to the end of the top directory, when every program's target exists.
function(trovel_write_kit_files)
  set(files $<TARGET_FILE:trovelsdk> ${TROVEL_IMPORT_LIBRARIES})
  foreach(program IN LISTS TROVEL_KIT_PROGRAMS)
    if(TARGET ${program})
      list(APPEND files $<TARGET_FILE:${program}>)
    endif()
  endforeach()
  list(JOIN files "\n" lines)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/kit-files.txt CONTENT "${lines}\n")
endfunction()
cmake_language(DEFER CALL trovel_write_kit_files)

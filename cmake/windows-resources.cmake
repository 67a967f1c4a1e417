# The server's resources in the build for Windows: the type library, built
# by widl from the contract's IDL, and the resource script that carries it
# as TYPELIB 1 beside the AppID script as REGISTRY 101, as the Linux build
# compiles them in (contract/resources.cpp).
#
#   trelvane_windows_resources(<target>)   links the resources into a program
enable_language(RC)

# widl takes the system's .idl files and stdole2.tlb from Wine's.
find_program(TRELVANE_WIDL NAMES ${TRELVANE_MINGW}-widl widl REQUIRED)
set(TRELVANE_TYPE_LIBRARY ${CMAKE_BINARY_DIR}/contract/trelvane.tlb)
set(TRELVANE_IDL ${CMAKE_SOURCE_DIR}/contract/trelvane.idl)
add_custom_command(OUTPUT ${TRELVANE_TYPE_LIBRARY}
  COMMAND ${CMAKE_COMMAND} -DWIDL=${TRELVANE_WIDL} -DINCLUDE=/usr/include/wine/wine/windows
          -DLIBRARIES=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows -DIDL=${TRELVANE_IDL}
          -DOUTPUT=${TRELVANE_TYPE_LIBRARY} -P ${CMAKE_CURRENT_LIST_DIR}/widl-checked.cmake
  DEPENDS ${TRELVANE_IDL} ${CMAKE_CURRENT_LIST_DIR}/widl-checked.cmake
  COMMENT "Building the type library with widl")
add_custom_target(trelvane_type_library ALL DEPENDS ${TRELVANE_TYPE_LIBRARY})

set(TRELVANE_APPID_SCRIPT_FILE ${CMAKE_SOURCE_DIR}/contract/trelvane.rgs)
set(TRELVANE_RESOURCE_SCRIPT ${CMAKE_BINARY_DIR}/contract/trelvane.rc)
configure_file(${CMAKE_SOURCE_DIR}/contract/trelvane.rc.in ${TRELVANE_RESOURCE_SCRIPT} @ONLY)

function(trelvane_windows_resources target)
  target_sources(${target} PRIVATE ${TRELVANE_RESOURCE_SCRIPT})
  # windres reports no dependencies: the files the script takes in are named.
  set_source_files_properties(${TRELVANE_RESOURCE_SCRIPT} PROPERTIES
                              OBJECT_DEPENDS "${TRELVANE_TYPE_LIBRARY};${TRELVANE_APPID_SCRIPT_FILE}")
  add_dependencies(${target} trelvane_type_library)
endfunction()

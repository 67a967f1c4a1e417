# The server's resources in the build for Windows: the type library, built
# by widl from the contract's IDL, and the resource script that carries it
# as TYPELIB 1 beside the AppID script as REGISTRY 101, as the Linux build
# compiles them in (contract/resources.cpp).
#
#   trelvane_windows_resources(<target>)   links the resources into a program
#   trelvane_widl(<idl> <output.tlb>)       builds a type library
enable_language(RC)

# widl takes the system's .idl files and stdole2.tlb from Wine's.
set(TRELVANE_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})
find_program(TRELVANE_WIDL NAMES ${TRELVANE_MINGW}-widl widl REQUIRED)
function(trelvane_widl idl output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DWIDL=${TRELVANE_WIDL} -DINCLUDE=/usr/include/wine/wine/windows
            -DLIBRARIES=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows -DIDL=${idl} -DOUTPUT=${output}
            -P ${TRELVANE_CMAKE_DIR}/widl-checked.cmake
    DEPENDS ${idl} ${TRELVANE_CMAKE_DIR}/widl-checked.cmake
    COMMENT "Building the type library ${output} with widl")
endfunction()

set(TRELVANE_TYPE_LIBRARY ${CMAKE_BINARY_DIR}/contract/trelvane.tlb)
set(TRELVANE_IDL ${CMAKE_SOURCE_DIR}/contract/trelvane.idl)
trelvane_widl(${TRELVANE_IDL} ${TRELVANE_TYPE_LIBRARY})
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

# The zip for 64-bit Windows: `cpack -G ZIP` in the Windows build folder makes
# trelvane-<version>-win64.zip with the programs that this build makes (the
# server, trelvanectl), the type library, a README on registering and using
# the server, and the licence. The programs are linked statically, so they
# need no DLL beyond those Windows provides (a test checks their imports).
#
# Included after the programs' folders: a program is packed only when the
# build has its target.

# cpack takes the build as it is; it builds nothing.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Each program with the README's lines on it, in Windows' line ends already
# (configure_file changes those of the template only).
set(TRELVANE_README_trelvane
    "trelvane.exe     the server. Nobody starts it by hand: the first client that\r\n"
    "                 creates Trelvane.Tarvik starts it, every client shares its one\r\n"
    "                 driver object, and it ends 5 s after its last client.\r\n")
set(TRELVANE_README_trelvanectl "trelvanectl.exe  the driver from the command line (trelvanectl --help).\r\n")
set(TRELVANE_WINDOWS_PROGRAMS "")
set(TRELVANE_README_PROGRAMS "")
foreach(program trelvane trelvanectl)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION .)
    list(APPEND TRELVANE_WINDOWS_PROGRAMS ${program}.exe)
    string(APPEND TRELVANE_README_PROGRAMS ${TRELVANE_README_${program}})
  endif()
endforeach()
install(FILES ${TRELVANE_TYPE_LIBRARY} DESTINATION .)

# Texts in Windows' line ends, which every editor there shows as lines.
set(TRELVANE_WINDOWS_TEXTS ${CMAKE_BINARY_DIR}/packaging/windows)
configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/README.txt.in ${TRELVANE_WINDOWS_TEXTS}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${TRELVANE_WINDOWS_TEXTS}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${TRELVANE_WINDOWS_TEXTS}/README.txt ${TRELVANE_WINDOWS_TEXTS}/LICENSE.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME trelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Trelvane developers")
set(CPACK_PACKAGE_FILE_NAME trelvane-${PROJECT_VERSION}-win64)
set(CPACK_STRIP_FILES ON)
include(CPack)

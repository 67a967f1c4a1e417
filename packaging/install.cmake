# What `cmake --install` puts in place, and the Debian package made from it:
# the three programs, the D-Bus service and interface files, the client's headers and library, a pkg-config file, a
# CMake package (find_package(Trelvane) gives Trelvane::client), the manual
# pages, and a package whose scripts register the server for every user.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# `cmake --install` and cpack take the build as it is; they build nothing.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS trelvane trelvane-sim trelvanectl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/man/trelvane.1 docs/man/trelvane-sim.1 docs/man/trelvanectl.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The D-Bus face: the interface's introspection data, and the service file
# with which the session bus starts the installed server on the first call.
# Its Exec= is the server's path in the prefix installed to, known only then.
install(FILES contract/org.trelvane.Tarvik1.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/interfaces)
install(CODE "
  set(service \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/dbus-1/services/org.trelvane.Tarvik1.service\")
  message(STATUS \"Installing: \${service}\")
  file(WRITE \"\${service}\" \"[D-BUS Service]\\nName=org.trelvane.Tarvik1\\nExec=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/trelvane\\n\")
")

# The client library: the platform and the contract's proxies in one archive,
# so that a client links one library whatever the order of the parts.
set(TRELVANE_CLIENT_PARTS trelvane_platform_base trelvane_platform_messages trelvane_platform_comm
    trelvane_platform_registry trelvane_platform_objects trelvane_platform_remoting trelvane_contract)
set(client_objects)
foreach(part IN LISTS TRELVANE_CLIENT_PARTS)
  list(APPEND client_objects $<TARGET_OBJECTS:${part}>)
endforeach()
add_library(trelvane_client STATIC ${client_objects})
set_target_properties(trelvane_client PROPERTIES OUTPUT_NAME trelvane-client EXPORT_NAME client LINKER_LANGUAGE CXX)
target_link_libraries(trelvane_client INTERFACE Threads::Threads)
target_compile_features(trelvane_client INTERFACE cxx_std_20)
target_include_directories(trelvane_client INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/trelvane>)

# A client includes <trelvane/trelvane.h>, which reaches platform/windows.h
# and what that includes: the platform's headers go below include/trelvane as
# they lie in the source tree. All of them, so that a header that windows.h
# comes to include is never missing (the install test builds a client).
install(FILES contract/trelvane.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/trelvane)
# The session bus's area is the server's alone: a client never reaches it.
install(DIRECTORY platform/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/trelvane/platform FILES_MATCHING PATTERN "*.h"
        PATTERN dbus EXCLUDE)

install(TARGETS trelvane_client EXPORT TrelvaneTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT TrelvaneTargets NAMESPACE Trelvane:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Trelvane)
configure_package_config_file(packaging/TrelvaneConfig.cmake.in ${CMAKE_BINARY_DIR}/TrelvaneConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Trelvane)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TrelvaneConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TrelvaneConfig.cmake ${CMAKE_BINARY_DIR}/TrelvaneConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Trelvane)
# The pkg-config file finds the prefix from where it lies, so that the tree
# can be installed anywhere.
file(RELATIVE_PATH TRELVANE_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(packaging/trelvane.pc.in ${CMAKE_BINARY_DIR}/trelvane.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/trelvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Debian package. Its scripts register the server in the machine's
# registry store, which every user's lookups read beneath their own.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Trelvane developers <trelvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Driver for start-post timing devices, as an automation server")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libsystemd0")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
                                       ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
                                       ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

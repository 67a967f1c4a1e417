# What `cmake --install` puts in place, and the Debian packages made from it:
# the three programs, the D-Bus service and interface files, the client's headers and library, a pkg-config file, a
# CMake package (find_package(Trelvane) gives Trelvane::client), the manual
# pages, the documentation, bash completion, and packages whose scripts
# register the server for every user.
#
# Two components, one package each: "server" (trelvane: the programs, their
# manual pages, completion and documentation) and "dev" (libtrelvane-dev:
# headers, static library, pkg-config and CMake files).
#
# The library goes to the multiarch folder (lib/x86_64-linux-gnu), as
# Debian's own libraries do, wherever the tree is installed.
if(CMAKE_LIBRARY_ARCHITECTURE AND (NOT DEFINED CMAKE_INSTALL_LIBDIR OR CMAKE_INSTALL_LIBDIR STREQUAL "lib"))
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries" FORCE)
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# `cmake --install` and cpack take the build as it is; they build nothing.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(TRELVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/trelvane)
set(TRELVANE_DEV_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/libtrelvane-dev)

install(TARGETS trelvane trelvane-sim trelvanectl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)

# Manual pages and the changelog compressed, as Debian wants them: gzip -9
# without a name or a time stamp, so that a build gives the same bytes.
set(TRELVANE_PACKAGED ${CMAKE_BINARY_DIR}/packaged)
set(compressed)
foreach(page trelvane.1 trelvane-sim.1 trelvanectl.1)
  add_custom_command(OUTPUT ${TRELVANE_PACKAGED}/${page}.gz
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${TRELVANE_PACKAGED}
                     COMMAND gzip -9n < ${CMAKE_SOURCE_DIR}/docs/man/${page} > ${TRELVANE_PACKAGED}/${page}.gz
                     DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page} VERBATIM)
  list(APPEND compressed ${TRELVANE_PACKAGED}/${page}.gz)
  install(FILES ${TRELVANE_PACKAGED}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)
endforeach()
add_custom_command(OUTPUT ${TRELVANE_PACKAGED}/changelog.gz
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${TRELVANE_PACKAGED}
                   COMMAND gzip -9n < ${CMAKE_SOURCE_DIR}/packaging/debian/changelog > ${TRELVANE_PACKAGED}/changelog.gz
                   DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
list(APPEND compressed ${TRELVANE_PACKAGED}/changelog.gz)
add_custom_target(trelvane_packaged_files ALL DEPENDS ${compressed})

# The copyright file in Debian's machine-readable form, with the licence's
# text taken from LICENSE.
file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE license_lines)
list(SUBLIST license_lines 4 -1 license_lines)  # the text after the title and the copyright line
set(license_text "")
foreach(line IN LISTS license_lines)
  if(line STREQUAL "")
    string(APPEND license_text " .\n")
  else()
    string(APPEND license_text " ${line}\n")
  endif()
endforeach()
file(WRITE ${TRELVANE_PACKAGED}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: trelvane\n"
     "Upstream-Contact: Trelvane developers <developers@trelvane.example.org>\n\n"
     "Files: *\nCopyright: 2026 Trelvane developers\nLicense: Expat\n\n"
     "License: Expat\n${license_text}")
foreach(component server dev)
  if(component STREQUAL server)
    set(doc_dir ${TRELVANE_DOC_DIR})
  else()
    set(doc_dir ${TRELVANE_DEV_DOC_DIR})
  endif()
  install(FILES ${TRELVANE_PACKAGED}/copyright ${TRELVANE_PACKAGED}/changelog.gz DESTINATION ${doc_dir}
          COMPONENT ${component})
endforeach()
install(FILES LICENSE CHANGELOG.md README.md docs/usage.md docs/reference.md docs/dbus.md docs/troubleshooting.md
        DESTINATION ${TRELVANE_DOC_DIR} COMPONENT server)
install(FILES tools/completion/trelvanectl tools/completion/trelvane-sim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT server)

# The D-Bus face: the interface's introspection data, and the service file
# with which the session bus starts the installed server on the first call.
# Its Exec= is the server's path in the prefix installed to, known only then.
install(FILES contract/org.trelvane.Tarvik1.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/interfaces COMPONENT server)
install(CODE "
  set(service \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/dbus-1/services/org.trelvane.Tarvik1.service\")
  message(STATUS \"Installing: \${service}\")
  file(WRITE \"\${service}\" \"[D-BUS Service]\\nName=org.trelvane.Tarvik1\\nExec=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/trelvane\\n\")
" COMPONENT server)

# The client library: the platform, the contract's proxies and the C++ API in
# one archive, so that a client links one library whatever the order of the
# parts.
set(TRELVANE_CLIENT_PARTS trelvane_platform_base trelvane_platform_messages trelvane_platform_comm
    trelvane_platform_registry trelvane_platform_objects trelvane_platform_remoting trelvane_platform_framework
    trelvane_contract trelvane_client_api)
set(client_objects)
foreach(part IN LISTS TRELVANE_CLIENT_PARTS)
  list(APPEND client_objects $<TARGET_OBJECTS:${part}>)
endforeach()
add_library(trelvane_client STATIC ${client_objects})
set_target_properties(trelvane_client PROPERTIES OUTPUT_NAME trelvane-client EXPORT_NAME client LINKER_LANGUAGE CXX)
target_link_libraries(trelvane_client INTERFACE Threads::Threads)
target_compile_features(trelvane_client INTERFACE cxx_std_20)
target_include_directories(trelvane_client INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The object that registers the driver's proxies is referred to by nothing a
# client calls: naming it makes the linker take it (client/interface_registration.cpp).
set(TRELVANE_CLIENT_UNDEFINED trelvane_client_interfaces)
target_link_options(trelvane_client INTERFACE "LINKER:--undefined=${TRELVANE_CLIENT_UNDEFINED}")

# The headers a client includes, all below include/trelvane and spelt
# <trelvane/...>: the automation face (trelvane.h with the interfaces it
# shares with the server, and the platform's declarations that clients use
# too) and the C++ API (driver.h). The platform's own headers stay inside
# the tree.
install(FILES contract/include/trelvane/trelvane.h contract/include/trelvane/interfaces.h
              contract/include/trelvane/open_status.h client/include/trelvane/driver.h
              platform/include/trelvane/automation_types.h platform/include/trelvane/automation_messages.h
              platform/include/trelvane/automation_objects.h platform/include/trelvane/automation_activation.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/trelvane COMPONENT dev)

install(TARGETS trelvane_client EXPORT TrelvaneTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(EXPORT TrelvaneTargets NAMESPACE Trelvane:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Trelvane COMPONENT dev)
configure_package_config_file(packaging/TrelvaneConfig.cmake.in ${CMAKE_BINARY_DIR}/TrelvaneConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Trelvane)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TrelvaneConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TrelvaneConfig.cmake ${CMAKE_BINARY_DIR}/TrelvaneConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Trelvane COMPONENT dev)
# The pkg-config file finds the prefix from where it lies, so that the tree
# can be installed anywhere.
file(RELATIVE_PATH TRELVANE_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(packaging/trelvane.pc.in ${CMAKE_BINARY_DIR}/trelvane.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/trelvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The Debian packages, one per component, named and versioned as Debian
# names them. The server's scripts register it in the machine's registry
# store, which every user's lookups read beneath their own.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Trelvane developers")
set(CPACK_PACKAGE_CONTACT "Trelvane developers <developers@trelvane.example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://trelvane.example.org/")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies as dpkg-shlibdeps finds them in the programs. The server loads
# libsystemd for its D-Bus face when it joins the bus, which dpkg-shlibdeps
# cannot see: recommended (without it the server serves automation clients
# only), at the version that has every entry point the face uses.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS "libsystemd0 (>= 241)")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME trelvane)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION comm)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "driver for start-post timing devices, as an automation server
The communication driver for a start-post timing device: a start post and a
finish post wired to one serial port. The server trelvane serves one driver
object to every client of a user; clients open a port and are told by
events what the device reports (start numbers, faults, post line changes,
battery voltages and port failures).
.
The package holds the server, trelvanectl (the driver from the command
line, with JSON output for scripts) and trelvane-sim (a simulated start
post on a virtual serial line), and registers the server for every user.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
                                              ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
                                              ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtrelvane-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "trelvane (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "client library of the start-post timing device driver
Headers, the static client library, and pkg-config and CMake package files
for programs that use the trelvane driver object: the automation contract
(ITarvik, ITarvikTest and their events) and the runtime that reaches the
server from another process.")
include(CPack)

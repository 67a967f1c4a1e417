# The zip for Windows, made by cpack as a user makes it, into a folder of the
# test's own:
#   - it is named trelvane-<version>-win64.zip and holds exactly the
#     programs the build makes, the type library as widl built it, the
#     README (in Windows' line ends, with the version) and the licence;
#   - every program in it, and CHECKED (a program of the build linked as the
#     programs are), imports no DLL but Windows' own.
# cmake -DCPACK=.. -DOBJDUMP=.. -DBUILD=<build folder> -DVERSION=.. -DPROGRAMS=<a.exe,b.exe>
#       -DTYPE_LIBRARY=<file.tlb> -DCHECKED=<program.exe> -P zip_test.cmake
cmake_minimum_required(VERSION 3.20)
set(out ${BUILD}/zip-test)
file(REMOVE_RECURSE ${out})
file(MAKE_DIRECTORY ${out}/unpacked)
set(failures "")
macro(fail text)
  string(APPEND failures "${text}\n")
endmacro()

execute_process(COMMAND ${CPACK} -G ZIP -B ${out} --config ${BUILD}/CPackConfig.cmake
                RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
set(top trelvane-${VERSION}-win64)
set(zip ${out}/${top}.zip)
if(NOT status EQUAL 0 OR NOT EXISTS ${zip})
  message(FATAL_ERROR "cpack -G ZIP did not make ${top}.zip (status ${status}):\n${said}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
string(REPLACE "\n" ";" listing "${listing}")
list(FILTER listing EXCLUDE REGEX "/$|^$")  # folders
list(SORT listing)
string(REPLACE "," ";" programs "${PROGRAMS}")
set(expected README.txt LICENSE.txt trelvane.tlb ${programs})
list(TRANSFORM expected PREPEND ${top}/)
list(SORT expected)
if(NOT listing STREQUAL expected)
  fail("the zip holds\n  ${listing}\nwhere it should hold\n  ${expected}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${out}/unpacked RESULT_VARIABLE status)
set(unpacked ${out}/unpacked/${top})
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${unpacked}/trelvane.tlb ${TYPE_LIBRARY}
                RESULT_VARIABLE different)
if(different)
  fail("the zip's trelvane.tlb is not the build's ${TYPE_LIBRARY}")
endif()
# Read as bytes: file(READ) as text drops the CRs.
file(READ ${unpacked}/README.txt readme HEX)
string(REGEX REPLACE "(..)" "\\1 " readme "${readme}")
string(HEX "Trelvane ${VERSION} for 64-bit Windows\r\n" title)
string(REGEX REPLACE "(..)" "\\1 " title "${title}")
string(REGEX MATCHALL "0a " line_ends "${readme}")
string(REGEX MATCHALL "0d 0a " crlf_line_ends "${readme}")
list(LENGTH line_ends lines)
list(LENGTH crlf_line_ends crlf_lines)
if(NOT readme MATCHES "^${title}" OR NOT lines EQUAL crlf_lines)
  fail("README.txt does not start with the version or has lines not ended by CR LF")
endif()

# The DLLs that every 64-bit Windows has.
set(windows_dlls advapi32.dll bcrypt.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll rpcrt4.dll
                 setupapi.dll shell32.dll shlwapi.dll user32.dll ws2_32.dll)
set(checked ${CHECKED})
foreach(program ${programs})
  list(APPEND checked ${unpacked}/${program})
endforeach()
foreach(program ${checked})
  execute_process(COMMAND ${OBJDUMP} -p ${program} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
  if(NOT status EQUAL 0 OR NOT imports)
    fail("objdump read no imports from ${program}")
  endif()
  foreach(import ${imports})
    string(REPLACE "DLL Name: " "" dll "${import}")
    string(TOLOWER "${dll}" dll)
    if(NOT dll IN_LIST windows_dlls)
      fail("${program} imports ${dll}, which Windows does not provide")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "${top}.zip: ${listing}")

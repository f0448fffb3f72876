# Checks one built module with the toolchain's objdump: its PE format and machine, whether it
# is a DLL or a GUI program, that it exports exactly the given names, and that it imports only
# Windows' own DLLs (so it runs without the toolchain's runtime beside it).
#   cmake -DOBJDUMP=... -DMODULE=... -DFORMAT=pei-x86-64|pei-i386 -DKIND=dll|program
#         -DEXPORTS=name,name -P CheckModule.cmake

cmake_minimum_required(VERSION 3.25)

# DLLs of Windows itself that a module may import (compared without case).
set(system_dlls
  kernel32.dll user32.dll advapi32.dll ole32.dll oleaut32.dll setupapi.dll cfgmgr32.dll newdev.dll
  shell32.dll avrt.dll winmm.dll msvcrt.dll ntdll.dll)

execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${MODULE}: objdump failed")
endif()
get_filename_component(name ${MODULE} NAME)
set(failures "")

if(NOT dump MATCHES "file format ${FORMAT}\n")
  list(APPEND failures "not of file format ${FORMAT}")
endif()
if(FORMAT STREQUAL "pei-x86-64")
  set(magic "020b\t\\(PE32\\+\\)")
else()
  set(magic "010b\t\\(PE32\\)")
endif()
if(NOT dump MATCHES "Magic\t+${magic}")
  list(APPEND failures "optional header magic is not that of ${FORMAT}")
endif()
string(REGEX MATCH "Characteristics 0x[0-9a-f]+\n(\t[^\n]+\n)+" characteristics "${dump}")
if(KIND STREQUAL "dll")
  if(NOT characteristics MATCHES "\tDLL\n")
    list(APPEND failures "not a DLL")
  endif()
else()
  if(characteristics MATCHES "\tDLL\n" OR NOT dump MATCHES "Subsystem\t+00000002\t\\(Windows GUI\\)")
    list(APPEND failures "not a Windows GUI program")
  endif()
endif()

# The names of the export table's name pointer table.
set(exported "")
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(\t[^\n]+\n)*" table "${dump}")
string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" rows "${table}")
foreach(row ${rows})
  string(REGEX REPLACE "^\t\\[ *[0-9]+\\] " "" export "${row}")
  list(APPEND exported ${export})
endforeach()
list(SORT exported)
string(REPLACE "," ";" expected "${EXPORTS}")
list(SORT expected)
if(NOT exported STREQUAL expected)
  list(APPEND failures "exports [${exported}], expected [${expected}]")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(imported "")
foreach(import ${imports})
  string(SUBSTRING "${import}" 10 -1 dll)
  string(TOLOWER "${dll}" dll)
  list(APPEND imported ${dll})
  if(NOT dll IN_LIST system_dlls)
    list(APPEND failures "imports ${dll}, which is not a Windows DLL")
  endif()
endforeach()
if(NOT imported)
  list(APPEND failures "imports nothing, so objdump's listing was not understood")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "${name}:\n  ${text}")
endif()
message(STATUS "${name}: ${FORMAT} ${KIND}, exports [${exported}], imports [${imported}]")

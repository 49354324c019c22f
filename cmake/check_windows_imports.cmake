# Checks that a Windows executable imports only DLLs that every Windows
# system has (so it was linked statically and runs alone), and that it
# takes the registry functions from the platform's advapi32.
#   cmake -DOBJDUMP=... -DEXE=... -P check_windows_imports.cmake
cmake_minimum_required(VERSION 3.20)
set(system_dlls advapi32.dll kernel32.dll msvcrt.dll user32.dll)

execute_process(COMMAND ${OBJDUMP} -p ${EXE}
                OUTPUT_VARIABLE headers RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed: ${result}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${headers}")
set(imports)
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  list(APPEND imports ${dll})
endforeach()
message(STATUS "${EXE} imports: ${imports}")

set(foreign ${imports})
list(REMOVE_ITEM foreign ${system_dlls})
if(foreign)
  message(FATAL_ERROR "imports DLLs that are not part of Windows: ${foreign}")
endif()
if(NOT "advapi32.dll" IN_LIST imports)
  message(FATAL_ERROR "does not import advapi32.dll: the registry functions "
                      "do not come from the platform")
endif()

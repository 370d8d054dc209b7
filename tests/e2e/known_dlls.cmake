cmake_minimum_required(VERSION 3.25)
# Fails unless every DLL that EXE imports statically is a KnownDLL (Windows 10 and 11), or
# ntdll, which every process has.
set(known advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32
    msctf msvcrt normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi
    user32 wldap32 ws2_32 ntdll)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
if(NOT imports)
    message(FATAL_ERROR "no imports read from ${EXE}")
endif()
foreach(line IN LISTS imports)
    string(REGEX REPLACE "DLL Name: ([^.]+)\\.[dD][lL][lL].*" "\\1" dll "${line}")
    string(TOLOWER "${dll}" dll)
    if(NOT dll IN_LIST known)
        message(FATAL_ERROR "${EXE} imports ${dll}.dll, which Windows would look for in the "
                            "program's own folder first")
    endif()
    message(STATUS "imports ${dll}.dll")
endforeach()

# System DLLs that are no KnownDLLs: Windows would look for them in the program's own folder
# first, and the program runs elevated from wherever it was unzipped. The executable that sets
# the target property KSR_DELAY_LOAD links them delay-loaded, and app/main.cpp restricts DLL
# loading to system32 before anything can load one. Everything else links them as usual.
set(KSR_DELAY_LOADED odbc32 bcrypt comctl32)

if(NOT MSVC)
    # mingw-w64's linker has no delay-load switch: a delay-load import library made by dlltool,
    # holding every function the ordinary import library holds, takes its place.
    find_program(KSR_NM NAMES ${TOOLCHAIN_PREFIX}-nm nm REQUIRED)
    find_program(KSR_DLLTOOL NAMES ${TOOLCHAIN_PREFIX}-dlltool dlltool REQUIRED)
    foreach(dll IN LISTS KSR_DELAY_LOADED)
        find_library(KSR_IMPLIB_${dll} NAMES lib${dll}.a ${dll} REQUIRED)
        execute_process(COMMAND ${KSR_NM} -g --defined-only ${KSR_IMPLIB_${dll}}
                        OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
        string(REGEX MATCHALL "[0-9a-fA-F]+ T [A-Za-z0-9_]+" functions "${symbols}")
        set(exports "")
        foreach(line IN LISTS functions)
            string(REGEX REPLACE "^[0-9a-fA-F]+ T " "" name "${line}")
            # Only functions: a data export has an __imp_ entry but no code thunk.
            if(NOT name MATCHES "^_" AND symbols MATCHES "__imp_${name}\n")
                string(APPEND exports "${name}\n")
            endif()
        endforeach()
        set(dir ${CMAKE_BINARY_DIR}/delayload)
        file(WRITE ${dir}/${dll}.def "LIBRARY ${dll}.dll\nEXPORTS\n${exports}")
        execute_process(COMMAND ${KSR_DLLTOOL} --input-def ${dir}/${dll}.def
                                --output-delaylib ${dir}/lib${dll}_delay.a --dllname ${dll}.dll
                        COMMAND_ERROR_IS_FATAL ANY)
        add_library(ksr_delay_${dll} STATIC IMPORTED GLOBAL)
        set_target_properties(ksr_delay_${dll} PROPERTIES IMPORTED_LOCATION
                                                          ${dir}/lib${dll}_delay.a)
    endforeach()
endif()

# Links `target` to the system library `dll`: delay-loaded in an executable with KSR_DELAY_LOAD.
function(ksr_link_system_library target scope dll)
    if(MSVC OR NOT dll IN_LIST KSR_DELAY_LOADED)
        target_link_libraries(${target} ${scope} ${dll})
        return()
    endif()
    set(delayed "$<BOOL:$<TARGET_PROPERTY:KSR_DELAY_LOAD>>")
    target_link_libraries(${target} ${scope} "$<${delayed}:ksr_delay_${dll}>"
                          "$<${delayed}:delayimp>" "$<$<NOT:${delayed}>:${dll}>")
endfunction()

# Links every DLL of KSR_DELAY_LOADED into the executable `target` delay-loaded: its main must
# confine DLL loading to system32 before anything can load one.
function(ksr_delay_load_executable target)
    set_target_properties(${target} PROPERTIES KSR_DELAY_LOAD ON)
    if(MSVC)
        target_link_libraries(${target} PRIVATE delayimp)
        foreach(dll IN LISTS KSR_DELAY_LOADED)
            target_link_options(${target} PRIVATE /DELAYLOAD:${dll}.dll)
        endforeach()
        # The resource script brings the manifest; the linker must not add one of its own.
        target_link_options(${target} PRIVATE /MANIFEST:NO)
    endif()
endfunction()

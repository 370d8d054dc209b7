# The executables a release ships carry no debug information: after each link it moves to
# <executable>.debug beside it, which the executable names in a debug link (with the file's
# CRC). The tests run the stripped executables, as shipped; dev/dist packs the .debug files
# apart. MSVC's linker keeps symbols in a PDB of its own.
if(NOT MSVC)
    find_program(KSR_OBJCOPY NAMES ${TOOLCHAIN_PREFIX}-objcopy objcopy REQUIRED)
endif()

function(ksr_split_debug_info target)
    if(MSVC)
        return()
    endif()
    set(exe $<TARGET_FILE:${target}>)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${KSR_OBJCOPY} --only-keep-debug ${exe} ${exe}.debug
        COMMAND ${KSR_OBJCOPY} --strip-all --add-gnu-debuglink=${exe}.debug ${exe}
        VERBATIM)
endfunction()

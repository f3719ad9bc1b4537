# Flags and quirks of the MinGW-w64 toolchain, one reason per line.

# The product's own sources: warnings are errors; no exceptions or RTTI are used.
set(KEYVANE_PRODUCT_FLAGS -Wall -Wextra -Werror -fno-exceptions -fno-rtti)

# Static runtime: nothing but DLLs that Windows ships may sit beside the exe.
set(KEYVANE_STATIC_LINK -static -static-libgcc -static-libstdc++)

# GUI subsystem (no console), minimum subsystem version 5.2, terminal-server-aware.
# The x86-64 linker has no large-address-aware switch: PE32+ images carry the flag anyway.
set(KEYVANE_IMAGE_FLAGS -mwindows -Wl,--tsaware,--major-subsystem-version,5,--minor-subsystem-version,2)

# One commit, one image: no link time in the headers (ld writes it unless told not to), and no
# build folder in anything the compiler embeds.
set(KEYVANE_REPRODUCIBLE_LINK -Wl,--no-insert-timestamp)
list(APPEND KEYVANE_IMAGE_FLAGS ${KEYVANE_REPRODUCIBLE_LINK})
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=;-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")

# Every Windows program here, tests included, is linked this way so that Wine needs no MinGW DLLs.
function(keyvane_windows_program target)
  target_link_options(${target} PRIVATE ${KEYVANE_STATIC_LINK} ${KEYVANE_REPRODUCIBLE_LINK})
  target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
endfunction()

# shell32 and ole32 are needed only when the shortcut key is pressed, and Windows loads a dozen
# DLLs with them: delay-loading keeps the resident agent's start-up and working set at the floor.
find_program(KEYVANE_DLLTOOL x86_64-w64-mingw32-dlltool REQUIRED)
function(keyvane_delay_import_library var dll)
  set(def ${CMAKE_SOURCE_DIR}/cmake/${dll}_delay.def)
  set(lib ${CMAKE_BINARY_DIR}/lib${dll}_delay.a)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  # Only when the list changed: a rewritten library would relink and re-sign everything.
  if(NOT EXISTS ${lib} OR ${def} IS_NEWER_THAN ${lib})
    execute_process(COMMAND ${KEYVANE_DLLTOOL} --input-def ${def} --output-delaylib ${lib}
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(${var} ${lib} PARENT_SCOPE)
endfunction()
keyvane_delay_import_library(SHELL32_DELAY_LIB shell32)
keyvane_delay_import_library(OLE32_DELAY_LIB ole32)

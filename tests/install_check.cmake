# Installs the build into PREFIX and checks that the binary, the manual page
# and the bash completion land where GNUInstallDirs puts them, and that the
# binary runs (through EMULATOR, space-separated words, in a cross build).
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(path bin/pakwright share/man/man1/pakwright.1 share/bash-completion/completions/pakwright)
  if(NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
execute_process(COMMAND ${emulator} "${PREFIX}/bin/pakwright" --help RESULT_VARIABLE result
                OUTPUT_VARIABLE help)
if(NOT result EQUAL 0 OR NOT help MATCHES "^Usage: pakwright")
  message(FATAL_ERROR "the installed pakwright does not run: ${result}")
endif()
file(REMOVE_RECURSE "${PREFIX}")

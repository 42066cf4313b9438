# Installs the build into PREFIX and checks that the binary, the manual page
# (showing VERSION), the completions and the package's documents land where
# GNUInstallDirs and each shell put them, and that the binary runs (through
# EMULATOR, space-separated words, in a cross build).
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(path bin/pakwright share/man/man1/pakwright.1.gz share/bash-completion/completions/pakwright
        share/zsh/site-functions/_pakwright share/fish/vendor_completions.d/pakwright.fish
        share/doc/pakwright/copyright share/doc/pakwright/changelog.gz)
  if(NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
file(STRINGS "${BUILD_DIR}/pakwright.1" title LIMIT_COUNT 1)
if(NOT title MATCHES "\"pakwright ${VERSION}\"")
  message(FATAL_ERROR "the manual page does not show version ${VERSION}: ${title}")
endif()
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
execute_process(COMMAND ${emulator} "${PREFIX}/bin/pakwright" --help RESULT_VARIABLE result
                OUTPUT_VARIABLE help)
if(NOT result EQUAL 0 OR NOT help MATCHES "^Usage: pakwright")
  message(FATAL_ERROR "the installed pakwright does not run: ${result}")
endif()
file(REMOVE_RECURSE "${PREFIX}")

# Cross-build for Windows with mingw-w64, linked statically so the programs
# need no runtime DLLs beside them. The compilers of the win32 thread model:
# the posix model's thread library, linked in with the C++ runtime, imports
# GetTickCount64, which Windows XP lacks, and then the program does not start
# there. Nothing built here uses std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SLOTBENCH_MINGW_ARCH})
set(CMAKE_C_COMPILER ${SLOTBENCH_MINGW_ARCH}-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER ${SLOTBENCH_MINGW_ARCH}-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER ${CMAKE_CURRENT_LIST_DIR}/windres.sh)
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/windres_rule.cmake)
set(CMAKE_DLLTOOL ${SLOTBENCH_MINGW_ARCH}-w64-mingw32-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${SLOTBENCH_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# Reproducible output: the same commit gives the same bytes in any folder, at
# any time, so a program found on a PC can be matched to the commit it was
# built from (tests/repro/check_reproducible.sh checks it).
# - ld writes the link time into the PE header (and so into the checksum
#   computed over it) unless told not to: zero instead.
# - __FILE__ (assert, any logging of it) and debug information carry the
#   absolute source and build paths: both are written relative. The build
#   folder's mapping comes last so that it wins for a build folder inside the
#   source tree.
set(SLOTBENCH_REPRODUCIBLE_LINK "-Wl,--no-insert-timestamp")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static ${SLOTBENCH_REPRODUCIBLE_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static ${SLOTBENCH_REPRODUCIBLE_LINK}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${SLOTBENCH_REPRODUCIBLE_LINK}")
# - Each map is one option of its own, which CMake quotes for the shell
#   whatever the folders' names hold (spaces, quotes, parentheses): in
#   CMAKE_C_FLAGS a space would split it. The generator expression keeps
#   them from windres; the characters it or a list would read are escaped.
#   gcc splits a map at its first =: tools/release/release.sh builds
#   through a link of a plain name.
function(slotbench_prefix_map from to)
  string(REPLACE ">" "$<ANGLE-R>" from "${from}")
  string(REPLACE "," "$<COMMA>" from "${from}")
  string(REPLACE ";" "$<SEMICOLON>" from "${from}")
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${from}=${to}>")
endfunction()
slotbench_prefix_map("${CMAKE_SOURCE_DIR}" .)
slotbench_prefix_map("${CMAKE_BINARY_DIR}" build)

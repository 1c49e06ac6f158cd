# The resource compiler's rule for the mingw toolchains: windres through
# windres.sh, so that no folder's name reaches a shell command unquoted. A
# build folder configured before keeps the windres it found, and its rule.
if(CMAKE_RC_COMPILER MATCHES "/windres\\.sh$")
  set(CMAKE_RC_COMPILE_OBJECT
      "<CMAKE_RC_COMPILER> ${SLOTBENCH_MINGW_ARCH}-w64-mingw32-windres -O coff <DEFINES> <INCLUDES> <FLAGS> <SOURCE> <OBJECT>")
endif()

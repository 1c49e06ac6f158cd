// The product's version, written here and nowhere else: cmake/version.cmake
// derives the version resources' and the manifest's forms from this line,
// and tools/release.sh the zip's name and the package README's version.
#pragma once

#define SLOTBENCH_VERSION_TEXT "1.0.0.0"

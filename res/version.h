// The product's version, written once: the program's and the wine bridge's
// version resources and the release package take it from here.
#pragma once

#define SLOTBENCH_VERSION_RC 1,0,0,0
#define SLOTBENCH_VERSION_TEXT "1.0.0.0"

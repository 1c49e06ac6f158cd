// The length of a stream's file, the same on every backend: the runtime
// library's own seek and tell, leaving the position where it was.
#include "platform/system.h"

namespace platform {

long StreamLength(std::FILE* stream) {
    const long here = std::ftell(stream);
    if (here < 0 || std::fseek(stream, 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(stream);
    std::fseek(stream, here, SEEK_SET);
    return end;
}

}  // namespace platform

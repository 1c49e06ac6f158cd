// The message table on the host: the same list the Windows string table is
// made from.
#include "platform/system.h"

namespace platform {

bool LoadMessage(unsigned id, std::string& text) {
    struct Entry {
        unsigned id;
        const char* text;
    };
    static const Entry kTable[] = {
#define MESSAGE(number, string) {number, string},
#include "res/messages.def"
#undef MESSAGE
    };
    for (const Entry& entry : kTable) {
        if (entry.id == id) {
            text = entry.text;
            return true;
        }
    }
    return false;
}

}  // namespace platform

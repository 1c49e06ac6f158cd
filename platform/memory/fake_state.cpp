// The in-memory backend's one state, shared by its windows, files and system.
#include "platform/memory/fake_system.h"

namespace fake {

System& State() {
    static System state;
    return state;
}

void Reset() {
    State() = System{};
    ModalRuns().clear();
}

}  // namespace fake

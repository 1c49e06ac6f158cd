// The in-memory backend's one state, shared by its windows, files and system.
#include "platform/memory/fake_system.h"

#include "platform/ct_api.h"

namespace fake {

System& State() {
    static System state;
    return state;
}

void Reset() {
    State() = System{};
    ModalRuns().clear();
    // A fault a test left untaken is not the next test's.
    platform::CtApiFault stale;
    platform::TakeCtApiFault(stale);
}

}  // namespace fake

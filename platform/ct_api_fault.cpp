// The fault of a card-terminal library call, kept from the guard that caught
// it until the logic asks, the same on every backend.
#include "platform/ct_api.h"

namespace {

bool g_pending = false;
platform::CtApiFault g_fault;

}  // namespace

namespace platform {

void KeepCtApiFault(const CtApiFault& fault) {
    if (g_pending) return;
    g_fault = fault;
    g_pending = true;
}

bool TakeCtApiFault(CtApiFault& fault) {
    if (!g_pending) return false;
    g_pending = false;
    fault = g_fault;
    return true;
}

}  // namespace platform

// guardrun.cpp - GuardRun: the guard of work that takes no argument, with
// Ctrl-C among its exceptions, on top of either system's GuardCall.

#include "platform.h"
#include "guard.h"

namespace korval {

namespace {

struct PlainWork {
    void (*Work)(void);
};

void CallPlain(void* Arg) {
    static_cast<PlainWork*>(Arg)->Work();
}

} // namespace

BOOL GuardRun(void (*Work)(void), PGUARD_FILTER Filter) {
    PlainWork Plain = {Work};
    return GuardCall(CallPlain, &Plain, Filter, GUARD_CTRL_C);
}

} // namespace korval

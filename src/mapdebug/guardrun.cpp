// guardrun.cpp - GuardRun: the guard of work that takes no argument, with
// Ctrl-C among its exceptions, on top of either system's GuardCall.

#include "platform.h"
#include "guard.h"

namespace korval {

namespace {

struct PlainWork {
    void (*work)(void);
};

void CallPlain(void* arg) {
    static_cast<PlainWork*>(arg)->work();
}

} // namespace

BOOL GuardRun(void (*work)(void), PGUARD_FILTER filter) {
    PlainWork plain = {work};
    return GuardCall(CallPlain, &plain, filter, GUARD_CTRL_C);
}

} // namespace korval

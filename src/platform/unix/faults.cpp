// unix/faults.cpp - failure injection for the tests; built only into the
// test copy of the layer (KORVAL_FAULT_INJECTION).
//
// A test run of the tool is steered by two environment settings:
//   KORVAL_FAIL=Facility:N[:Error]  the Nth call (from 1) of that facility
//       fails with that Win32 error (decimal; ERROR_ACCESS_DENIED if none);
//       the facilities are the calls KORVAL_FACILITIES in checked.h lists,
//       by name: CreateFileA, GetFileSize, ReadFile...
//   KORVAL_FAULT_LOG=path  at exit, the calls made of each facility and what
//       is still held are written there, one "name count" a line, ending
//       with "handles N" and "blocks N".
// A sweep first runs without KORVAL_FAIL to learn how many calls there are,
// then fails each one in turn.

#include "checked.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace korval {

namespace {

#define KORVAL_FACILITY_NAME(enumerator, name) name,
const char* const kNames[FAULT_FACILITIES] = {KORVAL_FACILITIES(KORVAL_FACILITY_NAME)};
#undef KORVAL_FACILITY_NAME

struct Plan {
    int facility = -1; // none: only count
    unsigned long nth = 0;
    DWORD error = ERROR_ACCESS_DENIED;
    unsigned long calls[FAULT_FACILITIES] = {};
    const char* log = nullptr;
};

Plan Plan;

void Report(void) {
    if (!Plan.log) return;
    FILE* f = fopen(Plan.log, "w");
    if (!f) return;
    for (int i = 0; i < FAULT_FACILITIES; i++)
        fprintf(f, "%s %lu\n", kNames[i], Plan.calls[i]);
    fprintf(f, "handles %zu\nblocks %zu\n", LiveHandles(), LiveBlocks());
    fclose(f);
}

[[noreturn]] void BadSetting(const char* setting) {
    fprintf(stderr, "KORVAL_FAIL: cannot read '%s'\n", setting);
    abort();
}

void ReadPlan(void) {
    Plan.log = getenv("KORVAL_FAULT_LOG");
    const char* setting = getenv("KORVAL_FAIL");
    if (!setting || !*setting) return;
    const char* colon = strchr(setting, ':');
    if (!colon) BadSetting(setting);
    for (int i = 0; i < FAULT_FACILITIES; i++)
        if (strlen(kNames[i]) == (size_t)(colon - setting) &&
            strncmp(kNames[i], setting, colon - setting) == 0)
            Plan.facility = i;
    char* end;
    Plan.nth = strtoul(colon + 1, &end, 10);
    if (*end == ':') Plan.error = (DWORD)strtoul(end + 1, &end, 10);
    if (Plan.facility < 0 || Plan.nth == 0 || *end != '\0' || Plan.error == NO_ERROR)
        BadSetting(setting);
}

// Reads the plan before main runs. The report is registered after the
// layer's tables of handles and blocks exist, so that it runs before they
// are destroyed at exit.
struct Start {
    Start() {
        ReadPlan();
        LiveHandles();
        LiveBlocks();
        atexit(Report);
    }
} Start;

} // namespace

bool FaultInjected(Facility facility) {
    if (++Plan.calls[facility] != Plan.nth || Plan.facility != facility) return false;
    SetLastError(Plan.error);
    return true;
}

} // namespace korval

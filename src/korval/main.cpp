/*
 * main.cpp - KORVAL's run from start to end: the code map loaded, the banner,
 * the command line, the files, the conversion inside the exception guard,
 * the cleanup and the closing line. The converter's operations are in
 * korval.cpp, the fault reporter's in mapdebug.cpp.
 */

#include "korval.h"
#include "mapdebug.h"
#include "guard.h"

#include <signal.h>
#include <stdio.h>

/* The guarded work: the entry list built, then written. */
static void Convert(void) {
    if (Doit()) Written = Binary ? WriteOutputB() : WriteOutputA();
}

/* The guard's filter: every exception is reported and taken. */
static LONG GuardFilter(PEXCEPTION_POINTERS ExceptionInfo) {
    return HandleException(ExceptionInfo->ExceptionRecord->ExceptionCode,
                           ExceptionInfo->ExceptionRecord);
}

int main(int argc, char** argv) {
#ifndef _WIN32
    /* Win32 reports a write to a pipe whose reader has gone, or past the
     * file size limit, as a failed write; POSIX ends the process with a
     * signal unless it is ignored. Ignored, such a write fails (EPIPE,
     * EFBIG) and is reported as any failed write, the console kept. */
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
#endif
    OpenDebug();
    Banner();
    /* The code map is given back on every way out, the failed ones too. */
    if (!GetOptions(argc, argv)) {
        CloseDebug();
        return 1;
    }
    if (Help) {
        Useage();
        CloseDebug();
        return 0;
    }
    if (!OpenFiles()) {
        CloseDebug();
        return 1;
    }

    if (!korval::GuardRun(Convert, GuardFilter)) Aborted = 1; /* the handler block */

    CloseHandle(hIfileMap);
    CloseHandle(hIfile);
    if (!CloseHandle(hOfile)) Written = 0;
    VirtualFree(EntBase, 0, MEM_DECOMMIT);
    VirtualFree(EntBase, 0, MEM_RELEASE);

    int Status = 1; /* a run that failed, Doit's failure included, says why */
    if (Aborted) {
        printf("\nKORVAL terminated due to exception.");
    } else if (!Failed && !Written) {
        printf("\nUnable to write output file '%s'", OfName);
    } else if (!Failed) {
        printf("\nEnd KORVAL - %d map entries written.\n", (int)NumRecs);
        Status = 0;
    }
    CloseDebug();
    return Status;
}

/*
 * mapdebug.cpp - the fault reporter.
 *
 * OpenDebug loads the program's own code map, the file KORVAL.COD in the
 * current directory, as one block of DEBUGMAP records; CloseDebug gives the
 * block back. HandleException, the filter of the guard round the conversion,
 * prints what happened and where: the routine, module and offset of the
 * table record whose range holds the fault address.
 */

#include "mapdebug.h"

#include <stdio.h>
#include <string.h>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "code map files are little-endian and are used as they lie"
#endif

PDEBUGMAP pDebugMap = NULL;
DWORD iNumMaps = 0;
int Aborted = 0;

/* The most records whose size, count times 52, fits in 32 bits. */
#define MAX_MAPS ((DWORD)(0xFFFFFFFFu / sizeof(DEBUGMAP))) /* 82,595,524 */

int OpenDebug(void) {
    HANDLE hMap = CreateFileA("KORVAL.COD", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD MapSize, dwRead = 0;
    LPVOID lpMap;

    if (hMap == INVALID_HANDLE_VALUE) return 0;
    /* A pipe or a device could keep the read waiting: only a file on disk. */
    if (GetFileType(hMap) != FILE_TYPE_DISK) {
        CloseHandle(hMap);
        return 0;
    }
    ReadFile(hMap, &iNumMaps, sizeof iNumMaps, &dwRead, NULL);
    if (iNumMaps == 0 || iNumMaps > MAX_MAPS) {
        iNumMaps = 0;
        CloseHandle(hMap);
        return 0;
    }
    MapSize = iNumMaps * (DWORD)sizeof(DEBUGMAP);
    lpMap = VirtualAlloc(NULL, MapSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (lpMap == NULL) {
        iNumMaps = 0;
        CloseHandle(hMap);
        return 0;
    }
    dwRead = 0;
    ReadFile(hMap, lpMap, MapSize, &dwRead, NULL);
    CloseHandle(hMap);
    if (dwRead != MapSize) iNumMaps = 0; /* never a part of a table */
    pDebugMap = (PDEBUGMAP)lpMap;
    return 1;
}

int CloseDebug(void) {
    if (pDebugMap == NULL) return 0;
    VirtualFree(pDebugMap, 0, MEM_DECOMMIT);
    VirtualFree(pDebugMap, 0, MEM_RELEASE);
    return 1;
}

/* The text of an exception code; the access violation's is formatted by
 * HandleException. */
static const char* CodeText(DWORD ExceptionCode) {
    switch (ExceptionCode) {
    case EXCEPTION_DATATYPE_MISALIGNMENT:
        return "Data type misalignment";
    case EXCEPTION_BREAKPOINT:
        return "Breakpoint instruction";
    case EXCEPTION_SINGLE_STEP:
        return "Single step breakpoint";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        return "Array bounds exceeded";
    case EXCEPTION_FLT_DENORMAL_OPERAND:
        return "FLOAT: Denormalized operand";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        return "FLOAT: Divide by zero";
    case EXCEPTION_FLT_INEXACT_RESULT:
        return "FLOAT: Inexact result";
    case EXCEPTION_FLT_INVALID_OPERATION:
        return "FLOAT: Invalid operation";
    case EXCEPTION_FLT_OVERFLOW:
        return "FLOAT: Result overflow";
    case EXCEPTION_FLT_STACK_CHECK:
        return "FLOAT: FP Stack check";
    case EXCEPTION_FLT_UNDERFLOW:
        return "FLOAT: Result underflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        return "Integer divide by zero";
    case EXCEPTION_INT_OVERFLOW:
        return "Integer result overflow";
    case EXCEPTION_PRIV_INSTRUCTION:
        return "Privileged instruction";
    case STATUS_CONTROL_C_EXIT:
        return "Control-C interrupt";
    default:
        return NULL;
    }
}

int HandleException(DWORD ExceptionCode, PEXCEPTION_RECORD ExceptionInfo) {
    /* Word 0 the fault address, then the parameters. Words are as wide as
     * an address: one above 4 GiB is printed in full, never cut. */
    ULONG_PTR FaultAddress[1 + EXCEPTION_MAXIMUM_PARAMETERS];
    DWORD dwIx;
    char szMsg[256];
    char szWhere[128];
    PDEBUGMAP pDebugCurr = pDebugMap;
    DWORD iDebugIdx = 0;
    const char* Text;

    FaultAddress[0] = (ULONG_PTR)ExceptionInfo->ExceptionAddress;
    for (dwIx = 0; dwIx < ExceptionInfo->NumberParameters && dwIx < EXCEPTION_MAXIMUM_PARAMETERS;
         dwIx++)
        FaultAddress[dwIx + 1] = ExceptionInfo->ExceptionInformation[dwIx];

    if (ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        if (ExceptionInfo->NumberParameters >= 2)
            snprintf(szMsg, sizeof szMsg, "Access error. Ref to locn 0x%08llX",
                     (unsigned long long)FaultAddress[2]);
        else
            strcpy(szMsg, "Access error. Ref to locn unknown");
    } else if ((Text = CodeText(ExceptionCode)) != NULL) {
        strcpy(szMsg, Text);
    } else {
        snprintf(szMsg, sizeof szMsg, "Unknown code : 0x%08X", (unsigned)ExceptionCode);
    }

    /* The table's addresses are 32-bit: a higher fault address is in none
     * of its ranges. */
    if (FaultAddress[0] <= 0xFFFFFFFFu) {
        DWORD Addr = (DWORD)FaultAddress[0];
        while (iDebugIdx < iNumMaps && pDebugCurr->SymbAddr <= Addr) {
            pDebugCurr++;
            iDebugIdx++;
        }
    }
    if (iDebugIdx < iNumMaps && iDebugIdx > 0) {
        pDebugCurr--;
        snprintf(szWhere, sizeof szWhere, "%.32s(%.16s)+0x%X", pDebugCurr->Routine,
                 pDebugCurr->Module, (unsigned)((DWORD)FaultAddress[0] - pDebugCurr->SymbAddr));
    } else {
        snprintf(szWhere, sizeof szWhere, "0x%08llX", (unsigned long long)FaultAddress[0]);
    }

    printf("EXCEPTION : %s at %s.", szMsg, szWhere);
    return 1;
}

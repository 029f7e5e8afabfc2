/*
 * mapdebug.cpp - the fault reporter.
 *
 * OpenDebugFile loads a code map, by default the program's own, as one block
 * of DEBUGMAP records (OpenDebug: KORVAL.COD from the current directory);
 * CloseDebug gives the block back. HandleException, the filter of KORVAL's
 * guard round the conversion, prints what happened and where: the routine,
 * module and offset of the table record whose range holds the fault address.
 * RunGuarded runs any program's work inside the guard and reports a fault on
 * standard error, with the calls that led to it.
 *
 * A report is made while the faulting work is stopped wherever it was,
 * perhaps inside malloc or printf and holding their locks. So it is
 * formatted here by hand, into a buffer on the stack, without the heap, and
 * written in one piece straight to the system. The one exception is
 * KORVAL's own line, which goes through stdout after what the program
 * printed, but only where the stream cannot be half-way through a call.
 */

#include "mapdebug.h"
#include "platform.h"
#include "guard.h"
#include "objects.h"

#include <string.h>

using korval::ExceptionCallChain;
using korval::GuardCall;
using korval::IsProgramCode;
using korval::ProgramLoadBias;
using korval::ProgramModule;
using korval::PutStdoutNoWait;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "code map files are little-endian and are used as they lie"
#endif

PDEBUGMAP pDebugMap = NULL;
uint32_t iNumMaps = 0;
int Aborted = 0;

/* How far the running executable lies from the addresses it was linked at,
 * which the code map holds; noted when a code map is loaded. */
static ULONG_PTR LoadBias = 0;

/* The most records whose size, count times 52, fits in 32 bits. */
#define MAX_MAPS ((uint32_t)(0xFFFFFFFFu / sizeof(DEBUGMAP))) /* 82,595,524 */

#define MAX_CHAIN  16 /* the most calling frames a report names */
#define MAX_FRAMES 64 /* the most frames walked to find them */

/* The name of the program's own code map: its path with the name
 * upper-cased and the extension replaced by .COD. 0 when the path cannot be
 * had or the result does not fit. */
static int OwnCodeMapName(char* szName, DWORD dwSize) {
    DWORD dwLen = GetModuleFileNameA(ProgramModule(), szName, dwSize);
    char* pName = szName;
    char* pExt = NULL;
    char* p;

    if (dwLen == 0 || dwLen >= dwSize) return 0;
    for (p = szName; *p != '\0'; p++) {
        if (*p == '/' || *p == '\\') {
            pName = p + 1;
            pExt = NULL;
        } else if (*p == '.') {
            pExt = p;
        }
    }
    if (pExt == NULL || pExt == pName) pExt = p;
    if ((DWORD)(pExt - szName) + 5 > dwSize) return 0;
    for (p = pName; p < pExt; p++)
        if (*p >= 'a' && *p <= 'z') *p = (char)(*p - 'a' + 'A');
    strcpy(pExt, ".COD");
    return 1;
}

int OpenDebug(void) {
    return OpenDebugFile("KORVAL.COD");
}

int OpenDebugFile(const char* lpName) {
    char szOwn[4096];
    HANDLE hMap;
    uint32_t MapSize;
    DWORD dwRead = 0;
    LPVOID lpMap;

    if (lpName == NULL) {
        if (!OwnCodeMapName(szOwn, sizeof szOwn)) return 0;
        lpName = szOwn;
    }
    CloseDebug(); /* a table loaded before goes */
    hMap = CreateFileA(lpName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
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
    MapSize = iNumMaps * (uint32_t)sizeof(DEBUGMAP);
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
    LoadBias = ProgramLoadBias();
    pDebugMap = (PDEBUGMAP)lpMap;
    return 1;
}

int CloseDebug(void) {
    PDEBUGMAP pBlock = pDebugMap;

    if (pBlock == NULL) return 0;
    iNumMaps = 0;
    pDebugMap = NULL;
    VirtualFree(pBlock, 0, MEM_DECOMMIT);
    VirtualFree(pBlock, 0, MEM_RELEASE);
    return 1;
}

/* ------------------------------------------------------------------------ */
/* Reports                                                                  */

/* Appends at most MaxLen characters of Text, up to its first zero byte, to
 * the text of *Len characters in Buff, which always keeps its terminator. */
static void PutText(char* Buff, DWORD Size, DWORD* Len, const char* Text, DWORD MaxLen) {
    DWORD i;
    for (i = 0; i < MaxLen && Text[i] != '\0' && *Len + 1 < Size; i++)
        Buff[(*Len)++] = Text[i];
    Buff[*Len] = '\0';
}

/* Appends Value in upper-case hexadecimal, at least MinDigits (<= 16) long. */
static void PutHex(char* Buff, DWORD Size, DWORD* Len, unsigned long long Value, int MinDigits) {
    char Digits[16];
    int n = 0;
    do {
        Digits[n++] = "0123456789ABCDEF"[Value & 0xF];
        Value >>= 4;
    } while (Value != 0);
    while (n < MinDigits)
        Digits[n++] = '0';
    while (n > 0 && *Len + 1 < Size)
        Buff[(*Len)++] = Digits[--n];
    Buff[*Len] = '\0';
}

#define PUT(Text) PutText(Buff, Size, Len, Text, (DWORD)-1)

/* The record whose range holds the run-time address Addr: walking from the
 * first record while records start at or below it, the one before the
 * record the walk stops at, which is never the last. NULL for an empty
 * table, an address below the first record or at or above the last, and
 * one that the table's 32-bit addresses cannot hold. */
static PDEBUGMAP FindRecord(ULONG_PTR Addr) {
    ULONG_PTR Linked = Addr - LoadBias;
    PDEBUGMAP pDebugCurr = pDebugMap;
    uint32_t iDebugIdx = 0;
    uint32_t iCount = iNumMaps;

    if (Linked > 0xFFFFFFFFu) return NULL;
    while (iDebugIdx < iCount && pDebugCurr->SymbAddr <= (uint32_t)Linked) {
        pDebugCurr++;
        iDebugIdx++;
    }
    if (iDebugIdx < iCount && iDebugIdx > 0) return pDebugCurr - 1;
    return NULL;
}

/* Appends "Routine(Module)+0xOFFSET" for Addr inside the record pRec. */
static void PutWhere(char* Buff, DWORD Size, DWORD* Len, PDEBUGMAP pRec, ULONG_PTR Addr) {
    PutText(Buff, Size, Len, pRec->Routine, sizeof pRec->Routine);
    PUT("(");
    PutText(Buff, Size, Len, pRec->Module, sizeof pRec->Module);
    PUT(")+0x");
    PutHex(Buff, Size, Len, (uint32_t)(Addr - LoadBias) - pRec->SymbAddr, 1);
}

/* The text of an exception code; the access violation's is formatted by
 * PutReportLine. */
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

/* Appends "EXCEPTION : <what> at <where>." for the exception. Addresses are
 * as wide as the platform's: one above 4 GiB is printed in full, never cut. */
static void PutReportLine(char* Buff, DWORD Size, DWORD* Len, DWORD ExceptionCode,
                          PEXCEPTION_RECORD ExceptionInfo) {
    ULONG_PTR FaultAddress[1 + EXCEPTION_MAXIMUM_PARAMETERS]; /* the address, then the parameters */
    DWORD dwIx;
    char szMsg[256];
    char szWhere[128];
    DWORD dwMsg = 0, dwWhere = 0;
    const char* Text;
    PDEBUGMAP pDebugCurr;

    FaultAddress[0] = (ULONG_PTR)ExceptionInfo->ExceptionAddress;
    for (dwIx = 0; dwIx < ExceptionInfo->NumberParameters && dwIx < EXCEPTION_MAXIMUM_PARAMETERS;
         dwIx++)
        FaultAddress[dwIx + 1] = ExceptionInfo->ExceptionInformation[dwIx];

    szMsg[0] = '\0';
    if (ExceptionCode == EXCEPTION_ACCESS_VIOLATION && ExceptionInfo->NumberParameters >= 2) {
        PutText(szMsg, sizeof szMsg, &dwMsg, "Access error. Ref to locn 0x", (DWORD)-1);
        PutHex(szMsg, sizeof szMsg, &dwMsg, FaultAddress[2], 8);
    } else if (ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        PutText(szMsg, sizeof szMsg, &dwMsg, "Access error. Ref to locn unknown", (DWORD)-1);
    } else if ((Text = CodeText(ExceptionCode)) != NULL) {
        PutText(szMsg, sizeof szMsg, &dwMsg, Text, (DWORD)-1);
    } else {
        PutText(szMsg, sizeof szMsg, &dwMsg, "Unknown code : 0x", (DWORD)-1);
        PutHex(szMsg, sizeof szMsg, &dwMsg, ExceptionCode, 8);
    }

    szWhere[0] = '\0';
    pDebugCurr = FindRecord(FaultAddress[0]);
    if (pDebugCurr != NULL) {
        PutWhere(szWhere, sizeof szWhere, &dwWhere, pDebugCurr, FaultAddress[0]);
    } else {
        PutText(szWhere, sizeof szWhere, &dwWhere, "0x", (DWORD)-1);
        PutHex(szWhere, sizeof szWhere, &dwWhere, FaultAddress[0], 8);
    }

    PUT("EXCEPTION : ");
    PUT(szMsg);
    PUT(" at ");
    PUT(szWhere);
    PUT(".");
}

/* Writes a report in one piece, so that reports made at once on several
 * threads do not mix. */
static void PutOut(DWORD nStdHandle, const char* Text, DWORD Len) {
    DWORD dwWritten = 0;
    WriteFile(GetStdHandle(nStdHandle), Text, Len, &dwWritten, NULL);
}

int HandleException(DWORD ExceptionCode, PEXCEPTION_RECORD ExceptionInfo) {
    char szReport[256];
    DWORD Len = 0;

    PutReportLine(szReport, sizeof szReport, &Len, ExceptionCode, ExceptionInfo);
    /* The line goes after what the program printed before, through its
     * stdio stream, where the fault is in the program's own code: there the
     * stream is not half-way through a call. Otherwise, or while another
     * thread holds the stream, it is written to the system at once. */
    if (!IsProgramCode((ULONG_PTR)ExceptionInfo->ExceptionAddress) || !PutStdoutNoWait(szReport))
        PutOut(STD_OUTPUT_HANDLE, szReport, Len);
    return 1;
}

/* The filter of RunGuarded: the report line and the calling frames that lie
 * in the code map, on standard error. Each return address is looked up one
 * byte back, in its call, which belongs to the caller even where the call is
 * the caller's last instruction. */
static LONG ReportFilter(PEXCEPTION_POINTERS ExceptionInfo) {
    char Buff[256 + MAX_CHAIN * 96];
    DWORD Size = sizeof Buff;
    DWORD Count = 0;
    DWORD* Len = &Count;
    ULONG_PTR Returns[MAX_FRAMES];
    DWORD nFrames, i, nNamed = 0;
    PEXCEPTION_RECORD pRecord = ExceptionInfo->ExceptionRecord;

    PutReportLine(Buff, Size, Len, pRecord->ExceptionCode, pRecord);
    PUT(LINE_END);
    nFrames = ExceptionCallChain(ExceptionInfo, Returns, MAX_FRAMES);
    for (i = 0; i < nFrames && nNamed < MAX_CHAIN; i++) {
        PDEBUGMAP pRec = FindRecord(Returns[i] - 1);
        if (pRec == NULL) continue;
        PUT("  called from ");
        PutWhere(Buff, Size, Len, pRec, Returns[i]);
        PUT(LINE_END);
        nNamed++;
    }
    PutOut(STD_ERROR_HANDLE, Buff, Count);
    return EXCEPTION_EXECUTE_HANDLER;
}

int RunGuarded(void (*Work)(void*), void* Arg) {
    if (GuardCall(Work, Arg, ReportFilter, 0)) return 1;
    Aborted = 1;
    return 0;
}

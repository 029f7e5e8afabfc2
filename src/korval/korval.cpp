/*
 * korval.cpp - KORVAL, the map converter.
 *
 * Reads the text map file (.MAP) a linker writes, keeps the symbol lines of
 * its code sections, sorts them by address and writes them as a binary code
 * map (.COD) or, with option A, as a text listing (.ENT). main (main.cpp)
 * runs the operations below in turn.
 *
 * The program runs once from start to end on one thread over the program-wide
 * variables below. Each operation returns nonzero for success and zero
 * otherwise, and its caller decides what follows. Not every zero comes with
 * a message: GetOptions and OpenFiles print what failed, Doit prints when it
 * could have no entry block but returns 0 silently when there is nothing to
 * convert, and the writers print nothing: main reports an output that was
 * not written completely or not closed. The byte kernels of the reader, the
 * parser and the listing writer are in scan.h.
 */

#include "korval.h"
#include "scan.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

/* Options and file names (GetOptions). */
int Binary = 1;
int Debug = 0;
int Help = 0;
int Inclusive = 0;
char IfName[_MAX_PATH];
char OfName[_MAX_PATH];
static SYSTEMTIME TimeBuff;

/* Files (OpenFiles). */
HANDLE hIfile;
HANDLE hIfileMap;
HANDLE hOfile;
DWORD dwISize;
const char* pIfileMap;
DWORD dwLeft;

/* The current line (GetaLine) and the code-section state (QualifyLine). */
char ILine[LINE_MAX_CHARS + 34];
DWORD ILen;
static int IBackslash; /* whether ILine holds a backslash */
int InCode;

/* Past its characters and terminator ILine has room for the whole blocks of
 * the byte kernels: CopyLine stores up to LINE_MAX_CHARS rounded up to 16
 * bytes, LineMasks reads four 64-byte blocks from the start, CopyName reads
 * 32 bytes and HexValue 8 from any position up to the line's end. */
static_assert(sizeof ILine >= COPY_LINE_ROOM(LINE_MAX_CHARS) && sizeof ILine >= 4 * 64 &&
                  sizeof ILine >= LINE_MAX_CHARS + 32,
              "ILine has room for the blocks the byte kernels read and write");

/* Bit masks of the line SaveEntry parses, bit i for ILine[i]: its spaces,
 * with every position from ILen on counted as one, so that a field ends
 * with the line; its opening parentheses; and the two together, where a
 * module name ends. */
static uint64_t ISpaces[4];
static uint64_t IParens[4];
static uint64_t IStops[4];

/* The entry block and the list (Doit, SaveEntry). */
PENTREC EntBase;
PENTREC EntNext;
PENTREC EntFirst;
PENTREC EntLast;
PENTREC EntCurr;
DWORD NumRecs;
static SIZE_T ESize;
/* One sort key per saved entry, after the records in the entry block: the
 * address in the high half, the complement of the entry's index in the low
 * half, so that ascending keys put equal addresses in reverse order of
 * reading. The sort moves them between this row and the spare row after it;
 * EntKeys ends on the sorted one. */
static uint64_t* EntKeys;
static uint64_t* EntSpare;

int Failed = 0;
int Written = 1;

/* The count line of the listing, and the output buffer of both writers. The
 * file gets the buffer a megabyte at a time: the system takes such writes
 * into larger pages, at well under the cost per byte of 64 KiB ones. */
char OutBuff[256];
static char OutBlock[1 << 20];

void ResetRun(void) {
    Binary = 1;
    Debug = Help = Inclusive = 0;
    IfName[0] = OfName[0] = '\0';
    hIfile = hIfileMap = hOfile = NULL;
    dwISize = dwLeft = 0;
    pIfileMap = NULL;
    ILine[0] = '\0';
    ILen = 0;
    IBackslash = InCode = 0;
    EntBase = EntNext = EntFirst = EntLast = EntCurr = NULL;
    NumRecs = 0;
    ESize = 0;
    EntKeys = EntSpare = NULL;
    Failed = 0;
    Written = 1;
}
static DWORD OutUsed;
static int OutOk;

/* ------------------------------------------------------------------------ */
/* Banner and help                                                          */

void PrintTime(void) {
    static const char* const Days[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                       "Thursday", "Friday", "Saturday"};
    static const char* const Months[] = {"January",   "February", "March",    "April",
                                         "May",       "June",     "July",     "August",
                                         "September", "October",  "November", "December"};
    GetLocalTime(&TimeBuff);
    if (TimeBuff.wDayOfWeek < 7) printf("%s", Days[TimeBuff.wDayOfWeek]);
    printf(", %d ", TimeBuff.wDay);
    if (TimeBuff.wMonth >= 1 && TimeBuff.wMonth <= 12) printf("%s", Months[TimeBuff.wMonth - 1]);
    printf(" %d - %02d:%02d:%02d.%03d", TimeBuff.wYear, TimeBuff.wHour, TimeBuff.wMinute,
           TimeBuff.wSecond, TimeBuff.wMilliseconds);
}

void Banner(void) {
    printf("KORVAL 1.00 - ");
    PrintTime();
    printf(".\n");
}

void Useage(void) {
    printf("\nKORVAL - A program to massage NT .MAP files.\n");
    printf("\nUseage :- KORVAL [options] InFile [OutFile] [options]\n");
    printf("\nOptions (N.B. Either '/' or '-' as leader) :-\n");
    printf("\n     A - Write ASCII (.ENT) not Binary (.COD) file.");
    printf("\n     D - Debug displays");
    printf("\n     H or");
    printf("\n     ? - Help screen (this one)\n");
    printf("\n     I - Include library files in output, default is exclude.");
    printf("\n <InFile> is the .MAP file name (.MAP extension is not needed)\n");
    printf("\n <OutFile> is the output .COD/.ENT file name (extension is not needed)\n");
    printf("\n If <OutFile> is omitted then the input file name is used,");
    printf("\n and the correct extension (.ENT or .COD) is appended.\n");
}

/* ------------------------------------------------------------------------ */
/* Command line                                                             */

/* Whether an argument is an option. On POSIX an absolute file name starts
 * with "/", so there "/" leads an option only when no second separator
 * follows ("/A" is an option, "/home/me/app.map" a file name). */
static int IsOption(const char* Arg) {
    if (Arg[0] == '-') return 1;
    if (Arg[0] != '/') return 0;
#ifdef _WIN32
    return 1;
#else
    return strpbrk(Arg + 1, "/\\") == NULL;
#endif
}

static int NameTooLong(const char* Arg) {
    printf("\nFile name too long: '%s'", Arg);
    return 0;
}

/* A name that ends in a dot has no extension, and the dot says so. The
 * Windows _fullpath drops the dots that end a name; they are put back, so
 * that "PROG." is not read as PROG.MAP. Components "." and ".." stay as
 * _fullpath resolved them. */
static void KeepTrailingDots(char* Full, size_t Size, const char* Name) {
    const char* End = Name + strlen(Name);
    const char* Dots = End;
    while (Dots > Name && Dots[-1] == '.')
        Dots--;
    if (Dots == End || Dots == Name || strchr("\\/:", Dots[-1]) != NULL) return;
    size_t Len = strlen(Full);
    size_t Kept = 0;
    while (Kept < Len && Full[Len - 1 - Kept] == '.')
        Kept++;
    size_t Want = (size_t)(End - Dots);
    if (Kept >= Want || Len + Want - Kept >= Size) return;
    memset(Full + Len, '.', Want - Kept);
    Full[Len + Want - Kept] = '\0';
}

/* Reads the options and builds IfName and OfName. Returns 0 after reporting
 * a file name longer than the platform allows. */
int GetOptions(int argc, char** argv) {
    char sParam[_MAX_PATH];
    char Drive[_MAX_PATH], Dir[_MAX_PATH], Name[_MAX_PATH], Ext[_MAX_PATH];
    const char* InArg = NULL;  /* the input name as typed */
    const char* OutArg = NULL; /* the output name as typed, if any */
    const char* LongArg = NULL;
    int GotInp = 0;

    IfName[0] = '\0';
    OfName[0] = '\0';
    for (int i = 1; i < argc; i++) {
        const char* Arg = argv[i];
        if (IsOption(Arg)) {
            switch (Arg[1]) {
            case 'a':
            case 'A':
                Binary = 0;
                break;
            case 'd':
            case 'D':
                Debug = 1;
                break;
            case 'i':
            case 'I':
                Inclusive = 1;
                break;
            default: /* "?", "H", any other character, or a lone leader */
                Help = 1;
                break;
            }
            continue;
        }
        if (strlen(Arg) >= sizeof IfName) {
            if (!LongArg) LongArg = Arg;
        } else {
            strcpy(sParam, Arg);
            _strupr(sParam);
            strcpy(GotInp ? OfName : IfName, sParam);
        }
        if (GotInp) {
            OutArg = Arg;
        } else {
            InArg = Arg;
            GotInp = 1;
        }
    }
    if (Help) return 1;
    if (LongArg) return NameTooLong(LongArg);
    if (IfName[0] == '\0') {
        Help = 1;
        return 1;
    }

    /* Runtimes differ in the errno of a name too long: ERANGE, or none. */
    errno = 0;
    if (_fullpath(sParam, IfName, sizeof sParam) == NULL) {
        if (errno == 0 || errno == ERANGE) return NameTooLong(InArg);
        strcpy(sParam, IfName); /* no absolute form: OpenFiles reports the name */
    }
    KeepTrailingDots(sParam, sizeof sParam, IfName);
    _splitpath(sParam, Drive, Dir, Name, Ext);
    if (Ext[0] == '\0') strcpy(Ext, ".MAP");
    if ((size_t)snprintf(IfName, sizeof IfName, "%s%s%s%s", Drive, Dir, Name, Ext) >= sizeof IfName)
        return NameTooLong(InArg);

    if (OfName[0] == '\0') {
        OutArg = InArg;
        if ((size_t)snprintf(OfName, sizeof OfName, "%s%s%s", Drive, Dir, Name) >= sizeof OfName)
            return NameTooLong(OutArg);
    }
    _splitpath(OfName, Drive, Dir, Name, Ext);
    if (Ext[0] == '\0') strcpy(Ext, Binary ? ".COD" : ".ENT");
    if ((size_t)snprintf(OfName, sizeof OfName, "%s%s%s%s", Drive, Dir, Name, Ext) >= sizeof OfName)
        return NameTooLong(OutArg);
    return 1;
}

/* ------------------------------------------------------------------------ */
/* Map reader                                                               */

/* Opens and maps the input, then creates the output: the output is created
 * only once the input is known to be readable, so a failed run never empties
 * an existing output file. */
int OpenFiles(void) {
    DWORD dwSizeHi = 0;

    hIfile = CreateFileA(IfName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    if (hIfile == INVALID_HANDLE_VALUE) {
        printf("\nUnable to open input file '%s'", IfName);
        return 0;
    }
    dwISize = GetFileSize(hIfile, &dwSizeHi);
    if (dwISize == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        printf("\nUnable to get the size of input file '%s'", IfName);
        CloseHandle(hIfile);
        return 0;
    }
    if (dwSizeHi != 0) {
        printf("\nYou must be joking! I can't read a file 0x%08X%08X bytes long.",
               (unsigned)dwSizeHi, (unsigned)dwISize);
        CloseHandle(hIfile);
        return 0;
    }
    hIfileMap = CreateFileMappingA(hIfile, NULL, PAGE_READONLY, 0, 0, NULL);
    if (hIfileMap == NULL) {
        printf("\nUnable to create '%s' file mapping.", IfName);
        CloseHandle(hIfile);
        return 0;
    }
    pIfileMap = (const char*)MapViewOfFile(hIfileMap, FILE_MAP_READ, 0, 0, 0);
    if (pIfileMap == NULL) {
        printf("\nUnable to map '%s' input file.", IfName);
        CloseHandle(hIfileMap);
        CloseHandle(hIfile);
        return 0;
    }
    hOfile = CreateFileA(OfName, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    if (hOfile == INVALID_HANDLE_VALUE) {
        printf("\nUnable to open output file '%s'", OfName);
        CloseHandle(hIfileMap);
        CloseHandle(hIfile);
        return 0;
    }
    return 1;
}

/* Makes the masks of the current line: ISpaces, IParens, IStops. */
static void LineMasks(void) {
    for (DWORD w = 0; w < 4; w++) {
        DWORD From = 64 * w;
        uint64_t Past = ILen <= From ? ~0ull : ILen - From >= 64 ? 0 : ~0ull << (ILen - From);
        uint64_t S = 0, P = 0;
        if (From < ILen) BlockMasks(ILine + From, &S, &P);
        ISpaces[w] = S | Past;
        IParens[w] = P & ~Past;
        IStops[w] = S | P | Past;
    }
}

/* Position of the first set bit of the 256-bit Mask from From (< 256) on;
 * 256 when there is none. With Set 0, of the first clear bit. */
static DWORD NextBit(const uint64_t* Mask, DWORD From, int Set) {
    uint64_t Flip = Set ? 0 : ~0ull;
    DWORD w = From / 64;
    uint64_t Bits = (Mask[w] ^ Flip) & (~0ull << (From % 64));
    while (Bits == 0) {
        if (++w == 4) return 256;
        Bits = Mask[w] ^ Flip;
    }
    return 64 * w + LowestBit(Bits);
}

/* The end of the field of the current line that starts at From (<= ILen):
 * the position of the next space, or ILen. */
static DWORD FieldEnd(DWORD From) {
    return NextBit(ISpaces, From, 1);
}

/* The first position from From (<= ILen) on that is not a space; ILen when
 * there is none. */
static DWORD SkipSpaces(DWORD From) {
    return std::min(NextBit(ISpaces, From, 0), ILen);
}

/* Cuts the next line from the input into ILine. Any run of CR and LF ends a
 * line; of a line longer than ILine holds, the rest is skipped. Returns 0 at
 * the end of the input. */
int GetaLine(void) {
    ILen = 0;
    ILine[0] = '\0';
    if (dwLeft == 0) return 0;

    const char* p = pIfileMap;
    DWORD Left = dwLeft;
    DWORD n;
    DWORD Len = CopyLine(ILine, LINE_MAX_CHARS, p, Left, &IBackslash, &n);
    ILen = Len < LINE_MAX_CHARS ? Len : LINE_MAX_CHARS;
    while (n < Left && (p[n] == '\r' || p[n] == '\n'))
        n++;
    pIfileMap = p + n;
    dwLeft = Left - n;
    ILine[ILen] = '\0';
    return 1;
}

/* Whether the current line is a symbol line of a code section to convert;
 * follows the "Code" line that opens a section and the line that ends it. */
int QualifyLine(void) {
    if (ILen < 4) return 0;
    if (!InCode) {
        if (ILen == 4 && memcmp(ILine, "Code", 4) == 0) InCode = 1;
        return 0;
    }
    if (ILine[0] != ' ') {
        InCode = 0;
        return 0;
    }
    if (!Inclusive && IBackslash) return 0;
    return 1;
}

/* Parses the current line into the next record of the entry block. A field
 * the line ends before is empty (address 0); nothing past ILen is read. */
void SaveEntry(void) {
    PENTREC PCEnt = EntNext++;
    PCEnt->NextRec = NULL;
    PCEnt->PrevRec = NULL;
    LineMasks();

    DWORD Pos = SkipSpaces(1); /* the leading space is not looked at */
    DWORD AddrEnd = FieldEnd(Pos);
    DWORD Addr = HexValue(ILine + Pos, AddrEnd - Pos);
    PCEnt->SymbAddr = Addr;

    Pos = SkipSpaces(AddrEnd);
    if (Pos < ILen && ILine[Pos] == '_') Pos++;
    DWORD End = FieldEnd(Pos);
    CopyName(PCEnt->Routine, sizeof PCEnt->Routine, ILine + Pos, End - Pos);

    /* The module ends at the next space or opening parenthesis. Under
     * option I, which takes lines with backslashes, it starts after the
     * last backslash before that parenthesis. */
    Pos = SkipSpaces(End);
    if (Inclusive) {
        End = std::min(NextBit(IParens, Pos, 1), ILen);
        for (DWORD i = End; i > Pos; i--) {
            if (ILine[i - 1] == '\\') {
                Pos = i;
                break;
            }
        }
        End = std::min(FieldEnd(Pos), End);
    } else {
        End = NextBit(IStops, Pos, 1);
    }
    CopyName(PCEnt->Module, sizeof PCEnt->Module, ILine + Pos, End - Pos);

    EntKeys[NumRecs] = ((uint64_t)Addr << 32) | (0xFFFFFFFFu - NumRecs);
    NumRecs++;
}

/* Sorts the NumRecs keys into ascending order, moving them between EntKeys
 * and EntSpare. Maps list their symbols by address, in one direction or the
 * other, and such a row needs no more than a check and reversals. Any
 * other row gets a stable radix sort of the addresses, RADIX_BITS at a time:
 * its first pass reads the keys from the last one back, so that equal
 * addresses come out in reverse order of reading, as their low halves ask.
 * A digit that all keys share needs no pass; the row is neither ascending
 * nor descending, so at least one pass is made. A short row is sorted by
 * comparing whole keys instead: the radix sort's fixed cost, clearing and
 * summing its 2 x 65,536 counts, outweighs the comparisons below
 * RADIX_MIN_RECS keys. No two keys are equal, so both give one order.
 *
 * The fuzzing build sets both lower (tests/fuzz), so that the radix sort,
 * with more passes of narrower digits, is reached by maps of a few lines. */
#ifndef RADIX_BITS
#define RADIX_BITS 16
#endif
#ifndef RADIX_MIN_RECS
#define RADIX_MIN_RECS 2048
#endif
#define RADIX_MASK   ((1u << RADIX_BITS) - 1)
#define RADIX_DIGITS (32 / RADIX_BITS)
static_assert(32 % RADIX_BITS == 0, "the digits divide an address");
static DWORD RadixCounts[RADIX_DIGITS][1u << RADIX_BITS];

static void SortKeys(void) {
    uint64_t* End = EntKeys + NumRecs;
    /* Ascending addresses: only runs of equal ones are in reading order. */
    if (std::is_sorted(EntKeys, End, [](uint64_t a, uint64_t b) { return a >> 32 < b >> 32; })) {
        for (uint64_t* Run = EntKeys; Run != End;) {
            uint64_t* RunEnd = Run + 1;
            while (RunEnd != End && *RunEnd >> 32 == *Run >> 32)
                RunEnd++;
            std::reverse(Run, RunEnd);
            Run = RunEnd;
        }
        return;
    }
    if (std::is_sorted(EntKeys, End, [](uint64_t a, uint64_t b) { return a > b; })) {
        std::reverse(EntKeys, End);
        return;
    }
    if (NumRecs < RADIX_MIN_RECS) {
        std::sort(EntKeys, End);
        return;
    }
    memset(RadixCounts, 0, sizeof RadixCounts);
    for (DWORD i = 0; i < NumRecs; i++)
        for (int Digit = 0; Digit < RADIX_DIGITS; Digit++)
            RadixCounts[Digit][(EntKeys[i] >> (32 + Digit * RADIX_BITS)) & RADIX_MASK]++;
    int Reversed = 0;
    for (int Digit = 0; Digit < RADIX_DIGITS; Digit++) {
        DWORD* Next = RadixCounts[Digit];
        int Shift = 32 + Digit * RADIX_BITS;
        if (Next[(EntKeys[0] >> Shift) & RADIX_MASK] == NumRecs) continue;
        DWORD Sum = 0;
        for (DWORD b = 0; b <= RADIX_MASK; b++) {
            DWORD Count = Next[b];
            Next[b] = Sum;
            Sum += Count;
        }
        if (Reversed) {
            for (DWORD i = 0; i < NumRecs; i++) {
                uint64_t Key = EntKeys[i];
                EntSpare[Next[(Key >> Shift) & RADIX_MASK]++] = Key;
            }
        } else {
            for (DWORD i = NumRecs; i-- > 0;) {
                uint64_t Key = EntKeys[i];
                EntSpare[Next[(Key >> Shift) & RADIX_MASK]++] = Key;
            }
            Reversed = 1;
        }
        std::swap(EntKeys, EntSpare);
    }
}

/* Links the saved entries into the list in ascending address order, the
 * entry read later first among equal addresses: the order that inserting
 * each entry before the first one with an equal or greater address gives,
 * reached by one sort of the keys instead of a walk per entry. */
static void LinkEntries(void) {
    SortKeys();
    PENTREC Prev = NULL;
    for (DWORD i = 0; i < NumRecs; i++) {
        PENTREC Ent = EntBase + (0xFFFFFFFFu - (DWORD)EntKeys[i]);
        Ent->PrevRec = Prev;
        if (Prev != NULL)
            Prev->NextRec = Ent;
        else
            EntFirst = Ent;
        Prev = Ent;
    }
    EntLast = Prev;
    EntCurr = NULL;
}

/* Reads the map twice: pass 1 counts the lines to convert, pass 2 saves them
 * into an entry block of exactly that many records. Another process may
 * write the map between the passes, so pass 2 never saves more records than
 * the block holds. Returns 0 when there is nothing to convert, or after
 * reporting that no block could be had. */
int Doit(void) {
    DWORD nLines = 0;
    const char* lpMapBase = pIfileMap;

    dwLeft = dwISize;
    InCode = 0;
    while (GetaLine()) {
        if (Debug) printf("\n[1] %s", ILine);
        if (QualifyLine()) nLines++;
    }

    const SIZE_T PerEntry = sizeof(aENTREC) + 2 * sizeof(uint64_t);
    ESize = (SIZE_T)nLines <= (SIZE_T)-1 / PerEntry ? nLines * PerEntry : 0;
    EntBase =
        ESize ? (PENTREC)VirtualAlloc(NULL, ESize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE) : NULL;
    if (EntBase == NULL) {
        if (nLines != 0) {
            printf("\nUnable to allocate memory for %u map entries.", (unsigned)nLines);
            Failed = 1;
        }
        return 0;
    }
    EntKeys = (uint64_t*)(EntBase + nLines);
    EntSpare = EntKeys + nLines;

    EntNext = EntBase;
    pIfileMap = lpMapBase;
    dwLeft = dwISize;
    InCode = 0;
    while (GetaLine()) {
        if (Debug) printf("\n[2] %s", ILine);
        if (QualifyLine() && NumRecs < nLines) SaveEntry();
    }
    LinkEntries();
    return 1;
}

/* ------------------------------------------------------------------------ */
/* Writers                                                                  */

/* Hands the gathered bytes to the system. A failed or short write stops all
 * further writing: OutOk stays 0. */
static void FlushOut(void) {
    if (OutOk && OutUsed != 0) {
        DWORD dwWritten = 0;
        if (!WriteFile(hOfile, OutBlock, OutUsed, &dwWritten, NULL) || dwWritten != OutUsed)
            OutOk = 0;
    }
    OutUsed = 0;
}

static void PutOut(const void* Bytes, DWORD Count) {
    if (OutUsed + Count > sizeof OutBlock) FlushOut();
    memcpy(OutBlock + OutUsed, Bytes, Count);
    OutUsed += Count;
}

/* The writers walk the list, which after a sort of a map in random order
 * jumps all over the entry block, one cache miss per entry. The sorted keys
 * tell which entries come next, so they are fetched ahead of the walk. */
#define PREFETCH_DISTANCE 16
static void FetchAhead(DWORD Position) {
    if (Position + PREFETCH_DISTANCE < NumRecs)
        Prefetch(EntBase + (0xFFFFFFFFu - (DWORD)EntKeys[Position + PREFETCH_DISTANCE]));
}

static void PutDword(DWORD Value) {
    unsigned char Bytes[4] = {(unsigned char)Value, (unsigned char)(Value >> 8),
                              (unsigned char)(Value >> 16), (unsigned char)(Value >> 24)};
    PutOut(Bytes, 4);
}

/* Writes the code map: the count, then per entry its address, Routine and
 * Module, little-endian. Returns 0 when the file did not take every byte. */
int WriteOutputB(void) {
    OutUsed = 0;
    OutOk = 1;
    PutDword(NumRecs);
    DWORD Position = 0;
    for (EntCurr = EntFirst; EntCurr != NULL && OutOk; EntCurr = EntCurr->NextRec) {
        FetchAhead(Position++);
        PutDword(EntCurr->SymbAddr);
        PutOut(EntCurr->Routine, sizeof EntCurr->Routine);
        PutOut(EntCurr->Module, sizeof EntCurr->Module);
    }
    FlushOut();
    return OutOk;
}

/* The longest entry line, 2 + 8 + 2 + 32 + 16 + 2 bytes: FormatEntry stores
 * nothing past that, even where its line is shorter. */
#define ENTRY_LINE_ROOM 62

/* Formats an entry line of the listing at Line, as "  %06X  %-32s%s\r\n"
 * would, and returns its length. A name field without a zero byte is taken
 * whole. */
static DWORD FormatEntry(const aENTREC* Ent, char* Line) {
    DWORD Addr = Ent->SymbAddr;
    int Digits = Addr >> 28 ? 8 : Addr >> 24 ? 7 : 6;
    char* q = Line;
    memcpy(q, "  ", 2);
    PutHex(q + 2, Addr, Digits);
    q += 2 + Digits;
    memcpy(q, "  ", 2);
    q += 2;
    PadName32(q, Ent->Routine);
    q += 32;
    q += PutName16(q, Ent->Module);
    memcpy(q, "\r\n", 2);
    return (DWORD)(q + 2 - Line);
}

/* Writes the listing: the count line, then one aligned line per entry, each
 * ended by CR LF. Returns 0 when the file did not take every byte. */
int WriteOutputA(void) {
    OutUsed = 0;
    OutOk = 1;
    PutOut(OutBuff, (DWORD)sprintf(OutBuff, "%d\r\n", (int)NumRecs));
    DWORD Position = 0;
    for (EntCurr = EntFirst; EntCurr != NULL && OutOk; EntCurr = EntCurr->NextRec) {
        FetchAhead(Position++);
        if (OutUsed + ENTRY_LINE_ROOM > sizeof OutBlock) FlushOut();
        OutUsed += FormatEntry(EntCurr, OutBlock + OutUsed);
    }
    FlushOut();
    return OutOk;
}

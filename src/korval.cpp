/*
 * korval.cpp - KORVAL, the map converter.
 *
 * Reads the text map file (.MAP) a linker writes, keeps the symbol lines of
 * its code sections, sorts them by address and writes them as a binary code
 * map (.COD) or, with option A, as a text listing (.ENT).
 *
 * The program runs once from start to end on one thread over the program-wide
 * variables below; each operation returns nonzero for success and zero for a
 * failure it has reported, and its caller decides what follows.
 */

#include "platform.h"
#include "mapdebug.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#if defined(__SSE2__) && defined(__GNUC__)
#include <emmintrin.h>
#endif

/* One converted symbol. All entries live in one entry block; the list runs
 * from EntFirst to EntLast in ascending unsigned SymbAddr. */
typedef struct aENTREC {
    struct aENTREC* NextRec;
    struct aENTREC* PrevRec;
    DWORD SymbAddr;
    char Routine[32]; /* name, then zero bytes to the end; a full field has none */
    char Module[16];
} aENTREC, *PENTREC;

#define LINE_MAX_CHARS 254 /* a map line longer than this keeps its first 254 */

/* Options and file names (GetOptions). */
int Binary = 1;    /* 1: code map (.COD); 0: text listing (.ENT), option A */
int Debug = 0;     /* option D: echo every map line read */
int Help = 0;      /* options H and ?, unknown options, no input name */
int Inclusive = 0; /* option I: also convert library lines */
char IfName[_MAX_PATH];
char OfName[_MAX_PATH];
SYSTEMTIME TimeBuff;

/* Files (OpenFiles). */
HANDLE hIfile;
HANDLE hIfileMap;
HANDLE hOfile;
DWORD dwISize;         /* bytes of input */
const char* pIfileMap; /* the reading cursor in the mapped input */
DWORD dwLeft;          /* bytes of input from the cursor on */

/* The current line (GetaLine) and the code-section state (QualifyLine).
 * Past its characters and terminator ILine has room for the whole blocks
 * that the scans read: 256 bytes from its start, 32 from any position up to
 * its end. */
char ILine[LINE_MAX_CHARS + 34];
DWORD ILen;
int IBackslash; /* whether ILine holds a backslash */
int InCode;

/* Bit masks of the line SaveEntry parses, bit i for ILine[i]: its spaces,
 * with every position from ILen on counted as one, so that a field ends
 * with the line; its opening parentheses; and the two together, where a
 * module name ends. */
uint64_t ISpaces[4];
uint64_t IParens[4];
uint64_t IStops[4];

/* The entry block and the list (Doit, SaveEntry). */
PENTREC EntBase;
PENTREC EntNext;
PENTREC EntFirst;
PENTREC EntLast;
PENTREC EntCurr;
DWORD NumRecs;
SIZE_T ESize;
/* One sort key per saved entry, after the records in the entry block: the
 * address in the high half, the complement of the entry's index in the low
 * half, so that ascending keys put equal addresses in reverse order of
 * reading. The sort moves them between this row and the spare row after it;
 * EntKeys ends on the sorted one. */
uint64_t* EntKeys;
uint64_t* EntSpare;

/* A step that reported a failure which ends the run with status 1. */
int Failed = 0;

/* 0 when the writer could not write every byte of the output. */
int Written = 1;

/* The output buffer of the writers (WriteOutputA, WriteOutputB). The file
 * gets it a megabyte at a time: the system takes such writes into larger
 * pages, at well under the cost per byte of 64 KiB ones. */
char OutBuff[256];
char OutBlock[1 << 20];
DWORD OutUsed;
int OutOk;

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

/* Byte scanning for the reader and the parser. Maps are large and their
 * lines long, so where SSE2 is at hand the scans test 16 bytes at a time. */
#if defined(__SSE2__) && defined(__GNUC__)
#define SCAN_BLOCKS 1

/* From KeepRow + 32 - n on, 32 bytes of which the first n (n <= 32) are all
 * ones and the rest zero: a mask that keeps the first n bytes of a name. */
static const unsigned char KeepRow[64] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

/* Bit i set for each byte i of the block at p equal to a or b. */
static unsigned BlockHits(const char* p, char a, char b) {
    __m128i Block = _mm_loadu_si128((const __m128i*)p);
    return (unsigned)_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(Block, _mm_set1_epi8(a)),
                                                    _mm_cmpeq_epi8(Block, _mm_set1_epi8(b))));
}
#endif

/* Index of the first byte of p[0..n) equal to a or b; n when there is none.
 * Reads nothing outside p[0..n), so it can scan the mapped input. */
static DWORD FindEither(const char* p, DWORD n, char a, char b) {
    DWORD i = 0;
#ifdef SCAN_BLOCKS
    for (; n - i >= 16; i += 16) {
        unsigned Hits = BlockHits(p + i, a, b);
        if (Hits != 0) return i + (DWORD)__builtin_ctz(Hits);
    }
#endif
    for (; i < n; i++)
        if (p[i] == a || p[i] == b) return i;
    return n;
}

/* Bit i of each mask set for byte p[i] of the 64 at p that is a space, an
 * opening parenthesis. */
static void WordMasks(const char* p, uint64_t* Spaces, uint64_t* Parens) {
    uint64_t S = 0, P = 0;
#ifdef SCAN_BLOCKS
    for (int i = 0; i < 64; i += 16) {
        __m128i Block = _mm_loadu_si128((const __m128i*)(p + i));
        S |= (uint64_t)(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(Block, _mm_set1_epi8(' '))) << i;
        P |= (uint64_t)(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(Block, _mm_set1_epi8('('))) << i;
    }
#else
    for (int i = 0; i < 64; i++) {
        S |= (uint64_t)(p[i] == ' ') << i;
        P |= (uint64_t)(p[i] == '(') << i;
    }
#endif
    *Spaces = S;
    *Parens = P;
}

/* Makes the masks of the current line: ISpaces, IParens, IStops. */
static void LineMasks(void) {
    for (DWORD w = 0; w < 4; w++) {
        DWORD From = 64 * w;
        uint64_t Past = ILen <= From ? ~0ull : ILen - From >= 64 ? 0 : ~0ull << (ILen - From);
        uint64_t S = 0, P = 0;
        if (From < ILen) WordMasks(ILine + From, &S, &P);
        ISpaces[w] = S | Past;
        IParens[w] = P & ~Past;
        IStops[w] = S | P | Past;
    }
}

/* Index of the lowest set bit of Bits, which is not 0. */
static DWORD LowestBit(uint64_t Bits) {
#if defined(__GNUC__) || defined(__clang__)
    return (DWORD)__builtin_ctzll(Bits);
#else
    DWORD i = 0;
    for (; (Bits & 1) == 0; Bits >>= 1)
        i++;
    return i;
#endif
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

/* Copies the line at p, up to its first CR or LF but at most LINE_MAX_CHARS
 * bytes, into ILine, sets IBackslash for what it copied, and returns the
 * length of the whole line. *Next gets how far the run of CR and LF after it
 * is known to reach. The bytes are copied a block at a time while the line
 * end and backslashes are looked for. */
static DWORD CopyLine(const char* p, DWORD Left, DWORD* Next) {
    DWORD n = 0;
#ifdef SCAN_BLOCKS
    const __m128i Cr = _mm_set1_epi8('\r'), Lf = _mm_set1_epi8('\n'), Bs = _mm_set1_epi8('\\');
    __m128i Slashes = _mm_setzero_si128(); /* of the blocks before this one */
    DWORD Stop = Left < 16 ? 0 : std::min<DWORD>(LINE_MAX_CHARS, Left - 15); /* whole blocks */
    for (; n < Stop; n += 16) {
        __m128i Block = _mm_loadu_si128((const __m128i*)(p + n));
        _mm_storeu_si128((__m128i*)(ILine + n), Block);
        __m128i BlockSlashes = _mm_cmpeq_epi8(Block, Bs);
        unsigned Ends = (unsigned)_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(Block, Cr), _mm_cmpeq_epi8(Block, Lf)));
        if (Ends != 0) {
            DWORD At = (DWORD)__builtin_ctz(Ends);
            DWORD Kept = std::min(At, LINE_MAX_CHARS - n); /* of this block */
            IBackslash = (_mm_movemask_epi8(Slashes) |
                          (_mm_movemask_epi8(BlockSlashes) & ((1u << Kept) - 1))) != 0;
            *Next = n + At + (DWORD)__builtin_ctz(~Ends >> At);
            return n + At;
        }
        Slashes = _mm_or_si128(Slashes, BlockSlashes);
    }
    IBackslash = _mm_movemask_epi8(Slashes) != 0;
#else
    IBackslash = 0;
#endif
    for (; n < Left && n < LINE_MAX_CHARS && p[n] != '\r' && p[n] != '\n'; n++) {
        ILine[n] = p[n];
        IBackslash |= p[n] == '\\';
    }
    if (n >= LINE_MAX_CHARS) {
        /* Cut: the blocks may have looked past the part kept. */
        IBackslash = memchr(ILine, '\\', LINE_MAX_CHARS) != NULL;
        n += FindEither(p + n, Left - n, '\r', '\n');
    }
    *Next = n;
    return n;
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
    DWORD Len = CopyLine(p, Left, &n);
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

/* Copies ILine[Start..End), cut to Size bytes, into a name field of Size
 * bytes (16 or 32), and fills the rest of the field with zeros. */
static void CopyName(char* Field, DWORD Size, DWORD Start, DWORD End) {
    DWORD Len = End - Start < Size ? End - Start : Size;
#ifdef SCAN_BLOCKS
    for (DWORD i = 0; i < Size; i += 16) {
        __m128i Keep = _mm_loadu_si128((const __m128i*)(KeepRow + 32 - Len + i));
        __m128i Block = _mm_loadu_si128((const __m128i*)(ILine + Start + i));
        _mm_storeu_si128((__m128i*)(Field + i), _mm_and_si128(Block, Keep));
    }
#else
    memcpy(Field, ILine + Start, Len);
    memset(Field + Len, 0, Size - Len);
#endif
}

/* The address of ILine[Start..End): each byte taken as a digit, its value
 * that of 0-9 for a byte below 'A' and of A-F from 'A' on, whatever the
 * byte, so that a wrong digit gives a wrong address but nothing worse; only
 * the last eight digits count. Up to eight proper digits are converted at
 * once where the field's bytes can be read as one little-endian word. */
static DWORD HexDigits(DWORD Start, DWORD End) {
    DWORD Len = End - Start;
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    if (Len - 1 < 8) {
        uint64_t Word; /* the first digit in the lowest byte, zero bytes before it */
        memcpy(&Word, ILine + Start, 8);
        Word <<= 8 * (8 - Len);
        const uint64_t Ones = 0x0101010101010101ull;
        uint64_t Nibbles = (Word & 0x0F * Ones) + 9 * ((Word >> 6) & Ones);
        uint64_t Letters = ((Nibbles + 6 * Ones) >> 4) & Ones;
        uint64_t Digits = Nibbles + 0x30 * Ones + 7 * Letters;
        uint64_t Padding = (1ull << 8 * (8 - Len)) - 1;
        if (((Digits ^ Word) & ~Padding) == 0 && ((Nibbles + 0x70 * Ones) & 0x80 * Ones) == 0) {
            uint64_t Pairs = ((Nibbles << 4) | (Nibbles >> 8)) & 0x00FF00FF00FF00FFull;
            uint64_t Quads = ((Pairs << 8) | (Pairs >> 16)) & 0x0000FFFF0000FFFFull;
            return (DWORD)((Quads & 0xFFFF) << 16 | Quads >> 32);
        }
    }
#endif
    DWORD Addr = 0;
    for (DWORD i = Start; i < End; i++) {
        int Code = (signed char)ILine[i];
        Addr = Addr * 16 + (DWORD)(Code < 65 ? Code - 48 : Code - 55);
    }
    return Addr;
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
    DWORD Addr = HexDigits(Pos, AddrEnd);
    PCEnt->SymbAddr = Addr;

    Pos = SkipSpaces(AddrEnd);
    if (Pos < ILen && ILine[Pos] == '_') Pos++;
    DWORD End = FieldEnd(Pos);
    CopyName(PCEnt->Routine, sizeof PCEnt->Routine, Pos, End);

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
    CopyName(PCEnt->Module, sizeof PCEnt->Module, Pos, End);

    EntKeys[NumRecs] = ((uint64_t)Addr << 32) | (0xFFFFFFFFu - NumRecs);
    NumRecs++;
}

/* Sorts the NumRecs keys into ascending order, moving them between EntKeys
 * and EntSpare. Maps list their symbols by address, in one direction or the
 * other, and such a row needs no more than a check and reversals. Any
 * other row gets a stable radix sort of the addresses, 16 bits at a time:
 * its first pass reads the keys from the last one back, so that equal
 * addresses come out in reverse order of reading, as their low halves ask.
 * A digit that all keys share needs no pass; the row is neither ascending
 * nor descending, so at least one pass is made. */
#define RADIX_BITS 16
#define RADIX_MASK ((1u << RADIX_BITS) - 1)
static DWORD RadixCounts[2][1u << RADIX_BITS];

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
    memset(RadixCounts, 0, sizeof RadixCounts);
    for (DWORD i = 0; i < NumRecs; i++) {
        RadixCounts[0][(EntKeys[i] >> 32) & RADIX_MASK]++;
        RadixCounts[1][EntKeys[i] >> (32 + RADIX_BITS)]++;
    }
    int Reversed = 0;
    for (int Digit = 0; Digit < 2; Digit++) {
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
#if defined(__GNUC__) || defined(__clang__)
#define PREFETCH_DISTANCE 16
static void FetchAhead(DWORD Position) {
    if (Position + PREFETCH_DISTANCE < NumRecs)
        __builtin_prefetch(EntBase + (0xFFFFFFFFu - (DWORD)EntKeys[Position + PREFETCH_DISTANCE]));
}
#else
static void FetchAhead(DWORD Position) {
    (void)Position;
}
#endif

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
#ifdef SCAN_BLOCKS
/* Here the digits are made eight at a time in a 64-bit word, and the names
 * padded and cut in 16-byte blocks; x86 is little-endian. */
static DWORD FormatEntry(const aENTREC* Ent, char* Line) {
    char* q = Line;
    DWORD Addr = Ent->SymbAddr;
    int Digits = Addr >> 28 ? 8 : Addr >> 24 ? 7 : 6;
    uint64_t Hex = Addr; /* one nibble per byte, the lowest in byte 0 */
    Hex = (Hex | Hex << 16) & 0x0000FFFF0000FFFFull;
    Hex = (Hex | Hex << 8) & 0x00FF00FF00FF00FFull;
    Hex = (Hex | Hex << 4) & 0x0F0F0F0F0F0F0F0Full;
    uint64_t Letters = ((Hex + 0x0606060606060606ull) >> 4) & 0x0101010101010101ull;
    Hex = __builtin_bswap64(Hex + 0x3030303030303030ull + Letters * 7) >> 8 * (8 - Digits);
    memcpy(q, "  ", 2);
    memcpy(q + 2, &Hex, 8);
    q += 2 + Digits;
    memcpy(q, "  ", 2);
    q += 2;

    const __m128i Zero = _mm_setzero_si128(), Spaces = _mm_set1_epi8(' ');
    __m128i Lo = _mm_loadu_si128((const __m128i*)Ent->Routine);
    __m128i Hi = _mm_loadu_si128((const __m128i*)(Ent->Routine + 16));
    unsigned Ends = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(Lo, Zero)) |
                    (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(Hi, Zero)) << 16;
    const unsigned char* Keep = KeepRow + 32 - (Ends != 0 ? __builtin_ctz(Ends) : 32);
    __m128i KeepLo = _mm_loadu_si128((const __m128i*)Keep);
    __m128i KeepHi = _mm_loadu_si128((const __m128i*)(Keep + 16));
    _mm_storeu_si128((__m128i*)q,
                     _mm_or_si128(_mm_and_si128(KeepLo, Lo), _mm_andnot_si128(KeepLo, Spaces)));
    _mm_storeu_si128((__m128i*)(q + 16),
                     _mm_or_si128(_mm_and_si128(KeepHi, Hi), _mm_andnot_si128(KeepHi, Spaces)));
    q += 32;

    __m128i Module = _mm_loadu_si128((const __m128i*)Ent->Module);
    _mm_storeu_si128((__m128i*)q, Module);
    q += __builtin_ctz((unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(Module, Zero)) | 0x10000u);
    memcpy(q, "\r\n", 2);
    return (DWORD)(q + 2 - Line);
}
#else
static DWORD FormatEntry(const aENTREC* Ent, char* Line) {
    static const char Hex[] = "0123456789ABCDEF";
    char* q = Line;
    *q++ = ' ';
    *q++ = ' ';
    int Digits = 6;
    while (Digits < 8 && (Ent->SymbAddr >> (4 * Digits)) != 0)
        Digits++;
    for (int i = Digits - 1; i >= 0; i--)
        *q++ = Hex[(Ent->SymbAddr >> (4 * i)) & 0xF];
    *q++ = ' ';
    *q++ = ' ';
    size_t Len = strnlen(Ent->Routine, sizeof Ent->Routine);
    memcpy(q, Ent->Routine, Len);
    memset(q + Len, ' ', 32 - Len);
    q += 32;
    Len = strnlen(Ent->Module, sizeof Ent->Module);
    memcpy(q, Ent->Module, Len);
    q += Len;
    *q++ = '\r';
    *q++ = '\n';
    return (DWORD)(q - Line);
}
#endif

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

/* ------------------------------------------------------------------------ */
/* Driver                                                                   */

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

    if (!GuardRun(Convert, GuardFilter)) Aborted = 1; /* the handler block */

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

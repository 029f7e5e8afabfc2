/*
 * scan.h - the byte kernels of the converter: finding line ends, copying a
 * line, masks of spaces and parentheses, name fields, hexadecimal digits.
 *
 * Each is a small function of the bytes it is given and nothing else. Maps
 * are large and their lines long, so where SSE2 is at hand with GCC or clang
 * (x86, which is little-endian) the kernels work 16 bytes or a 64-bit word
 * at a time. The portable version of each, byte by byte, stands beside it
 * and gives the same result for every input; it is what other compilers and
 * machines build, and what KORVAL_NO_INTRINSICS forces (the tests build the
 * converter both ways).
 *
 * Some kernels read or write whole blocks past the bytes that count, in
 * either version; each says how far, and the caller provides the room.
 */
#ifndef KORVAL_SCAN_H
#define KORVAL_SCAN_H

#include "platform.h"

#include <stdint.h>
#include <string.h>

#if !defined(KORVAL_NO_INTRINSICS) && (defined(__GNUC__) || defined(__clang__)) && defined(__SSE2__)
#define SCAN_SSE2 1
#include <emmintrin.h>
#else
#define SCAN_SSE2 0
#endif

/* Index of the lowest set bit of Bits, which is not 0. */
static inline DWORD LowestBit(uint64_t Bits) {
#if SCAN_SSE2
    return (DWORD)__builtin_ctzll(Bits);
#else
    DWORD i = 0;
    for (; (Bits & 1) == 0; Bits >>= 1)
        i++;
    return i;
#endif
}

/* Asks for the memory at p to be brought into the cache; a hint only. */
static inline void Prefetch(const void* p) {
#if SCAN_SSE2
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

#if SCAN_SSE2
/* Unaligned 16-byte loads and stores, each one instruction. */
static inline __m128i Load16(const void* p) {
    __m128i Block;
    memcpy(&Block, p, 16);
    return Block;
}

static inline void Store16(void* p, __m128i Block) {
    memcpy(p, &Block, 16);
}

/* All ones in each byte of Block equal to c, else zero. */
static inline __m128i Equal16(__m128i Block, char c) {
    return _mm_cmpeq_epi8(Block, _mm_set1_epi8(c));
}

/* Bit i set for each byte i of Bytes whose top bit is set. */
static inline unsigned Bits16(__m128i Bytes) {
    return (unsigned)_mm_movemask_epi8(Bytes);
}

/* From KeepRow + 32 - n on, 32 bytes of which the first n (n <= 32) are all
 * ones and the rest zero: a mask that keeps the first n bytes of a name. */
static const unsigned char KeepRow[64] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
#endif

/* Index of the first byte of p[0..n) equal to a or b; n when there is none.
 * Reads nothing outside p[0..n), so it can scan the mapped input. */
static inline DWORD FindEither(const char* p, DWORD n, char a, char b) {
    DWORD i = 0;
#if SCAN_SSE2
    for (; n - i >= 16; i += 16) {
        __m128i Block = Load16(p + i);
        unsigned Hits = Bits16(_mm_or_si128(Equal16(Block, a), Equal16(Block, b)));
        if (Hits != 0) return i + LowestBit(Hits);
    }
#endif
    /* The portable version, and the rest after the whole blocks. */
    while (i < n && p[i] != a && p[i] != b)
        i++;
    return i;
}

/* Bit i of *Spaces set where p[i] is a space, of *Parens where it is an
 * opening parenthesis, for the 64 bytes from p, all of which are read. */
static inline void BlockMasks(const char* p, uint64_t* Spaces, uint64_t* Parens) {
    uint64_t S = 0, P = 0;
#if SCAN_SSE2
    for (int i = 0; i < 64; i += 16) {
        __m128i Block = Load16(p + i);
        S |= (uint64_t)Bits16(Equal16(Block, ' ')) << i;
        P |= (uint64_t)Bits16(Equal16(Block, '(')) << i;
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

/* The bytes of Line that CopyLine may store for a line of at most Max. */
#define COPY_LINE_ROOM(Max) (((Max) + 15) / 16 * 16)

/* Copies the line at p, of the Left bytes there, up to its first CR or LF
 * but at most Max bytes, to Line, and tells in *Backslash whether the part
 * copied holds a backslash. Returns the length of the whole line; *Next gets
 * how far the run of CR and LF after it is known to reach (at least to the
 * line's end, at most to the end of the run). Reads nothing outside
 * p[0..Left); may store COPY_LINE_ROOM(Max) bytes of Line. The blocks are
 * copied whole while the line end and backslashes are looked for in them. */
static inline DWORD CopyLine(char* Line, DWORD Max, const char* p, DWORD Left, int* Backslash,
                             DWORD* Next) {
    DWORD n = 0;
    int Slash = 0;
#if SCAN_SSE2
    __m128i Slashes = _mm_setzero_si128(); /* of the blocks before this one */
    DWORD Stop = Left < 16 ? 0 : Max < Left - 15 ? Max : Left - 15; /* whole blocks */
    for (; n < Stop; n += 16) {
        __m128i Block = Load16(p + n);
        Store16(Line + n, Block);
        __m128i BlockSlashes = Equal16(Block, '\\');
        unsigned Ends = Bits16(_mm_or_si128(Equal16(Block, '\r'), Equal16(Block, '\n')));
        if (Ends != 0) {
            DWORD At = LowestBit(Ends);
            DWORD Kept = At < Max - n ? At : Max - n; /* of this block */
            *Backslash = (Bits16(Slashes) | (Bits16(BlockSlashes) & ((1u << Kept) - 1))) != 0;
            *Next = n + At + LowestBit(~Ends >> At);
            return n + At;
        }
        Slashes = _mm_or_si128(Slashes, BlockSlashes);
    }
    Slash = Bits16(Slashes) != 0;
#endif
    /* The portable version, and the rest after the whole blocks. */
    for (; n < Left && n < Max && p[n] != '\r' && p[n] != '\n'; n++) {
        Line[n] = p[n];
        Slash |= p[n] == '\\';
    }
    if (n >= Max) {
        /* Cut: the blocks may have looked past the part kept. */
        Slash = memchr(Line, '\\', Max) != NULL;
        n += FindEither(p + n, Left - n, '\r', '\n');
    }
    *Backslash = Slash;
    *Next = n;
    return n;
}

/* Copies the first Len bytes of Src, cut to Size, to a name field of Size
 * bytes (16 or 32), and fills the rest of the field with zero bytes. May
 * read Size bytes of Src whatever Len is. */
static inline void CopyName(char* Field, DWORD Size, const char* Src, DWORD Len) {
    if (Len > Size) Len = Size;
#if SCAN_SSE2
    for (DWORD i = 0; i < Size; i += 16)
        Store16(Field + i, _mm_and_si128(Load16(Src + i), Load16(KeepRow + 32 - Len + i)));
#else
    memcpy(Field, Src, Len);
    memset(Field + Len, 0, Size - Len);
#endif
}

/* The length of the text of a name field of Size bytes: up to its first
 * zero byte, or the whole field when it has none. */
static inline DWORD NameLength(const char* Field, DWORD Size) {
    const char* Zero = (const char*)memchr(Field, 0, Size);
    return Zero != NULL ? (DWORD)(Zero - Field) : Size;
}

/* Stores the text of the 32-byte name field Field at Out, filled with
 * spaces to 32 bytes. */
static inline void PadName32(char* Out, const char* Field) {
#if SCAN_SSE2
    const __m128i Zero = _mm_setzero_si128(), Spaces = _mm_set1_epi8(' ');
    __m128i Lo = Load16(Field), Hi = Load16(Field + 16);
    unsigned Ends = Bits16(_mm_cmpeq_epi8(Lo, Zero)) | Bits16(_mm_cmpeq_epi8(Hi, Zero)) << 16;
    const unsigned char* Keep = KeepRow + 32 - (Ends != 0 ? LowestBit(Ends) : 32);
    __m128i KeepLo = Load16(Keep), KeepHi = Load16(Keep + 16);
    Store16(Out, _mm_or_si128(_mm_and_si128(KeepLo, Lo), _mm_andnot_si128(KeepLo, Spaces)));
    Store16(Out + 16, _mm_or_si128(_mm_and_si128(KeepHi, Hi), _mm_andnot_si128(KeepHi, Spaces)));
#else
    DWORD Len = NameLength(Field, 32);
    memcpy(Out, Field, Len);
    memset(Out + Len, ' ', 32 - Len);
#endif
}

/* Stores the text of the 16-byte name field Field at Out and returns its
 * length. May store all 16 bytes. */
static inline DWORD PutName16(char* Out, const char* Field) {
#if SCAN_SSE2
    __m128i Name = Load16(Field);
    Store16(Out, Name);
    return LowestBit(Bits16(_mm_cmpeq_epi8(Name, _mm_setzero_si128())) | 0x10000u);
#else
    DWORD Len = NameLength(Field, 16);
    memcpy(Out, Field, Len);
    return Len;
#endif
}

/* Stores the low Digits (1 to 8) hexadecimal digits of Value at Out, upper
 * case, the highest first. May store 8 bytes. */
static inline void PutHex(char* Out, DWORD Value, int Digits) {
#if SCAN_SSE2
    /* All eight digits at once: one nibble per byte, the lowest in byte 0,
     * turned into characters, then the bytes reversed. */
    uint64_t Hex = Value;
    Hex = (Hex | Hex << 16) & 0x0000FFFF0000FFFFull;
    Hex = (Hex | Hex << 8) & 0x00FF00FF00FF00FFull;
    Hex = (Hex | Hex << 4) & 0x0F0F0F0F0F0F0F0Full;
    uint64_t Letters = ((Hex + 0x0606060606060606ull) >> 4) & 0x0101010101010101ull;
    Hex = __builtin_bswap64(Hex + 0x3030303030303030ull + Letters * 7) >> 8 * (8 - Digits);
    memcpy(Out, &Hex, 8);
#else
    static const char Hex[] = "0123456789ABCDEF";
    for (int i = 0; i < Digits; i++)
        Out[i] = Hex[(Value >> 4 * (Digits - 1 - i)) & 0xF];
#endif
}

/* The value of p[0..Len) as hexadecimal digits: each byte taken as a digit,
 * its value that of 0-9 for a byte below 'A' and of A-F from 'A' on,
 * whatever the byte, so that a wrong digit gives a wrong value but nothing
 * worse; only the last eight digits count. May read 8 bytes of p when Len
 * is 1 to 8. */
static inline DWORD HexValue(const char* p, DWORD Len) {
#if SCAN_SSE2
    /* Up to eight proper digits at once, as one little-endian word. */
    if (Len - 1 < 8) {
        uint64_t Word; /* the first digit in the lowest byte, zero bytes before it */
        memcpy(&Word, p, 8);
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
    /* The portable version, and any field the word does not take. */
    DWORD Value = 0;
    for (DWORD i = 0; i < Len; i++) {
        int Code = (signed char)p[i];
        Value = Value * 16 + (DWORD)(Code < 65 ? Code - 48 : Code - 55);
    }
    return Value;
}

#endif

// extension.h - the code map extension: full names and the identity of the
// file a code map describes, stored after the records.
//
// A code map is a 32-bit record count and that many 52-byte records
// (DEBUGMAP). korval-codemap may append an extension after the last record;
// a reader that reads the count and the records sees the same table as
// before, and korval itself never writes one. All integers little-endian,
// offsets from the start of the extension (E = 4 + 52 * count):
//
//   E+0   8  magic "KORVALX1"
//   E+8   4  size of the extension, from E to the end of the file
//   E+12  4  record count, again
//   E+16  8  link base: where the object's image starts as linked (ELF: the
//            lowest PT_LOAD address rounded down to its alignment, 0 for a
//            shared library or a position-independent executable; PE: the
//            preferred image base). object+0xOFF is link base + OFF.
//   E+24  4  identity kind (kIdentity*)
//   E+28  4  identity length I, at most kMostIdentity
//   E+32  I  identity bytes, then zero bytes up to a multiple of 4
//   then  4  object name length N, at most kMostObjectName
//         N  the object's file name, without directory (app, libshapes.so.1)
//            then zero bytes up to a multiple of 4
//   then  4 * count  offset of each record's full name in the name pool
//   then  4  name pool size S
//         S  name pool: the full names, each ended by a zero byte
//
// A reader uses the extension only when every field checks: the magic, the
// size equal to what is left of the file, the count equal, every length
// within its limit and every name offset inside the pool with its zero byte
// there too. Anything else and the extension is ignored, never half used.
#ifndef KORVAL_MAPDEBUG_EXTENSION_H
#define KORVAL_MAPDEBUG_EXTENSION_H

#include <stdint.h>

namespace korval {

const char kExtensionMagic[8] = {'K', 'O', 'R', 'V', 'A', 'L', 'X', '1'};

// What the identity bytes are.
const uint32_t kIdentityNone = 0;    // no identity: the map is used as it is
const uint32_t kIdentityBuildId = 1; // ELF: the GNU build ID note's bytes
const uint32_t kIdentityPe = 2;      // PE: TimeDateStamp, then SizeOfImage (4 + 4 bytes)

const uint32_t kMostIdentity = 64;
const uint32_t kMostObjectName = 255;

} // namespace korval

#endif // KORVAL_MAPDEBUG_EXTENSION_H

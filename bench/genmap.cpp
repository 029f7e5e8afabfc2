// genmap - writes a synthetic linker map for benchmarking the converter.
//
// The map looks like the text map of a large Win32 link: a header, the code
// symbols split over two "Code" sections with an import listing between them,
// a "Data" section and a trailer. Symbol names follow the shapes and lengths
// of real C and C++ symbols, modules are the program's own objects, local
// libraries ("util.lib(hash.obj)") and SDK libraries with a full path, whose
// backslash makes them library lines. Lines end in CR LF.
//
// --symbols counts the lines the converter takes by default (code lines
// without a backslash); the SDK library lines and the data lines come on top.
// The content depends on --seed alone: --order only changes the sequence of
// the code lines, so the four orders of one seed convert to the same entries.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// splitmix64: small, fast and identical on every platform, unlike the
// distributions of <random>.
class Rng {
  public:
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n); n must be nonzero.
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(((Next() >> 32) * n) >> 32); }
    // Uniform in [lo, hi].
    uint32_t Range(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }
    bool Chance(uint32_t perMille) { return Below(1000) < perMille; }

  private:
    uint64_t state;
};

template <size_t N> const char* Pick(Rng& rng, const char* const (&list)[N]) {
    return list[rng.Below(N)];
}

const char* const kVerbs[] = {
    "Get",       "Set",     "Read",   "Write",   "Parse",   "Init",     "Free",     "Alloc",
    "Open",      "Close",   "Find",   "Update",  "Create",  "Destroy",  "Handle",   "Process",
    "Load",      "Save",    "Copy",   "Compare", "Format",  "Print",    "Draw",     "Send",
    "Recv",      "Lock",    "Unlock", "Insert",  "Remove",  "Reset",    "Check",    "Validate",
    "Convert",   "Build",   "Flush",  "Map",     "Query",   "Register", "Dispatch", "Enum",
    "Resolve",   "Compute", "Apply",  "Notify",  "Attach",  "Detach",   "Scan",     "Emit",
    "Translate", "Merge",   "Split",  "Release", "Acquire", "Post",     "Wait",     "Signal"};

const char* const kNouns[] = {
    "Header",  "File",     "Buffer",  "Window",   "Message", "Entry",   "Record",   "Table",
    "Line",    "Name",     "Path",    "Device",   "Stream",  "Socket",  "Thread",   "Event",
    "Config",  "Item",     "List",    "Node",     "Tree",    "Key",     "Value",    "Object",
    "Context", "Section",  "Symbol",  "Module",   "Block",   "Page",    "Region",   "Cache",
    "Font",    "Bitmap",   "Palette", "Dialog",   "Menu",    "Cursor",  "Timer",    "Request",
    "Queue",   "Task",     "Image",   "Resource", "String",  "Token",   "Registry", "Heap",
    "Index",   "Segment",  "Frame",   "Packet",   "Channel", "Session", "Account",  "Printer",
    "Clip",    "Brush",    "Pen",     "Rect",     "Glyph",   "Shader",  "Texture",  "Vertex",
    "Profile", "Document", "View",    "Control",  "Status",  "Error",   "Driver",   "Volume"};

const char* const kSuffixes[] = {"Ex", "W", "A", "Internal", "2", "Async", "Impl", "Proc"};

const char* const kLibc[] = {"memmove", "memcpy",   "memset",  "strlen",   "strcmp",  "strcpy",
                             "strncpy", "strchr",   "qsort",   "atoi",     "malloc",  "free",
                             "realloc", "fopen",    "fclose",  "fread",    "fwrite",  "printf",
                             "sprintf", "vsprintf", "toupper", "tolower",  "isalpha", "exit",
                             "_chkstk", "_ftol",    "_allmul", "_aulldiv", "getenv",  "abort"};

// Parameter and return codes of the two mangling schemes.
const char* const kMsvcTypes[] = {"H", "X", "PAD", "PBD", "I", "K", "PAX", "N", "_N", "PAUNode@@"};
const char* const kItaniumTypes[] = {"v", "i", "j", "PKc", "Pv", "RKS_", "m", "b", "d", "S0_"};

const char* const kSdkLibs[] = {"KERNEL32.LIB", "USER32.LIB",   "GDI32.LIB",   "ADVAPI32.LIB",
                                "LIBC.LIB",     "COMCTL32.LIB", "WSOCK32.LIB", "SHELL32.LIB",
                                "OLE32.LIB",    "WINMM.LIB"};
const char* const kSdkDirs[] = {"C:\\SDK\\LIB\\", "C:\\MSTOOLS\\LIB\\", "D:\\SDK\\LIB\\I386\\"};
const char* const kLocalLibs[] = {"crt.lib", "util.lib", "zlib.lib", "gfx.lib", "net.lib"};

void AppendLower(std::string& out, const char* word) {
    for (const char* p = word; *p; ++p)
        out += static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p + 32 : *p);
}

// A length-prefixed identifier as used in Itanium-style mangled names.
void AppendCounted(std::string& out, const std::string& word) {
    out += std::to_string(word.size());
    out += word;
}

// Appends one code symbol name, leading underscores included, to out.
// Library members are more often run-time routines such as _strlen.
void MakeCodeName(Rng& rng, bool library, std::string& out) {
    uint32_t style = rng.Below(100);
    if (library && style < 30) style = 55;
    if (style < 38) { // C function: _ParseHeader, _GetFileSizeEx@8
        out += '_';
        out += Pick(rng, kVerbs);
        out += Pick(rng, kNouns);
        if (rng.Chance(350)) out += Pick(rng, kNouns);
        if (rng.Chance(150)) out += Pick(rng, kSuffixes);
        if (rng.Chance(200)) {
            out += '@';
            out += std::to_string(4 * rng.Range(0, 6));
        }
    } else if (style < 53) { // snake case: _io_read_buffer
        out += '_';
        AppendLower(out, Pick(rng, kNouns));
        out += '_';
        AppendLower(out, Pick(rng, kVerbs));
        out += '_';
        AppendLower(out, Pick(rng, kNouns));
        if (rng.Chance(250)) {
            out += '_';
            AppendLower(out, Pick(rng, kNouns));
        }
    } else if (style < 60) { // run-time library: _strlen, __strlen
        out += rng.Chance(300) ? "__" : "_";
        out += Pick(rng, kLibc);
    } else if (style < 72) { // MSVC C++: ?ReadHeader@MapFile@@QAEHPBDH@Z
        out += '?';
        out += Pick(rng, kVerbs);
        out += Pick(rng, kNouns);
        out += '@';
        out += Pick(rng, kNouns);
        if (rng.Chance(300)) out += Pick(rng, kNouns);
        if (rng.Chance(250)) {
            out += '@';
            AppendLower(out, Pick(rng, kNouns));
        }
        out += "@@";
        out += rng.Chance(500) ? "QAE" : "UAE";
        out += Pick(rng, kMsvcTypes);
        uint32_t params = rng.Range(0, 3);
        for (uint32_t i = 0; i < params; ++i)
            out += Pick(rng, kMsvcTypes);
        out += params == 0 ? "XZ" : "@Z";
    } else if (style < 82) { // Itanium C++: _ZN6korval7MapFile10ReadHeaderEPKci
        out += "_ZN";
        std::string word;
        AppendLower(word, Pick(rng, kNouns));
        AppendCounted(out, word);
        AppendCounted(out, std::string(Pick(rng, kNouns)) + Pick(rng, kNouns));
        AppendCounted(out, std::string(Pick(rng, kVerbs)) + Pick(rng, kNouns));
        out += 'E';
        uint32_t params = rng.Range(1, 3);
        for (uint32_t i = 0; i < params; ++i)
            out += Pick(rng, kItaniumTypes);
    } else if (style < 92) { // long descriptive C name, often past 32 characters
        out += '_';
        out += Pick(rng, kVerbs);
        uint32_t words = rng.Range(3, 5);
        for (uint32_t i = 0; i < words; ++i)
            out += Pick(rng, kNouns);
    } else { // short C name: _Init, _draw
        out += '_';
        if (rng.Chance(500)) {
            out += Pick(rng, kVerbs);
        } else {
            AppendLower(out, Pick(rng, kVerbs));
            AppendLower(out, Pick(rng, kNouns));
        }
    }
}

// The program's own object files; a link has a few hundred of them.
std::vector<std::string> MakeObjectNames(Rng& rng, uint32_t count) {
    std::vector<std::string> objects;
    objects.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        std::string name;
        AppendLower(name, Pick(rng, kNouns));
        if (rng.Chance(500)) AppendLower(name, Pick(rng, kNouns));
        if (rng.Chance(200)) name += std::to_string(rng.Range(1, 9));
        name += ".obj";
        objects.push_back(name);
    }
    return objects;
}

// A library member module field; with a path when sdk is set.
std::string MakeLibraryModule(Rng& rng, bool sdk) {
    std::string module;
    if (sdk) {
        module += Pick(rng, kSdkDirs);
        module += Pick(rng, kSdkLibs);
    } else {
        module += Pick(rng, kLocalLibs);
    }
    module += '(';
    AppendLower(module, Pick(rng, kNouns));
    module += ".obj)";
    return module;
}

// Appends " ADDR name module f" in the column layout of the map, with CR LF.
void FormatLine(std::string& out, uint32_t addr, const std::string& name,
                const std::string& module) {
    const size_t kNameColumn = 36;
    const size_t kModuleColumn = 34;
    char head[16];
    std::snprintf(head, sizeof head, " %08X ", addr);
    out += head;
    out += name;
    out.append(name.size() < kNameColumn ? kNameColumn - name.size() : 0, ' ');
    out += ' ';
    out += module;
    out.append(module.size() < kModuleColumn ? kModuleColumn - module.size() : 0, ' ');
    out += " f\r\n";
}

// Width of an address step: log-uniform from 0x10 up to cap (a multiple of
// 0x10 of at least 0x20), in steps of 0x10, like the sizes of real functions.
uint32_t NextGap(Rng& rng, uint32_t cap) {
    uint32_t units = cap / 0x10;
    uint32_t bits = 0;
    while ((2u << bits) <= units)
        ++bits;
    uint32_t bit = rng.Below(bits);
    uint32_t lo = 1u << bit;
    uint32_t hi = std::min((2u << bit) - 1, units);
    return rng.Range(lo, hi) * 0x10;
}

enum class Order { Asc, Desc, Random, Blocks };

struct Options {
    uint64_t symbols = 10000;
    Order lineOrder = Order::Asc;
    uint64_t seed = 1;
    const char* output = nullptr;
};

void Usage(FILE* to) {
    std::fprintf(to, "usage: genmap --symbols N [--order asc|desc|random|blocks] [--seed S] "
                     "[-o FILE | FILE]\n"
                     "Writes a synthetic linker map with N convertible code lines "
                     "(to standard output without FILE).\n");
}

bool ParseNumber(const char* text, uint64_t& value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-') return false;
    value = v;
    return true;
}

bool ParseArgs(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) {
            Usage(stdout);
            std::exit(0);
        } else if (!std::strcmp(arg, "--symbols")) {
            if (!ParseNumber(val, opt.symbols)) return false;
            ++i;
        } else if (!std::strcmp(arg, "--seed")) {
            if (!ParseNumber(val, opt.seed)) return false;
            ++i;
        } else if (!std::strcmp(arg, "--order")) {
            if (!val) return false;
            if (!std::strcmp(val, "asc"))
                opt.lineOrder = Order::Asc;
            else if (!std::strcmp(val, "desc"))
                opt.lineOrder = Order::Desc;
            else if (!std::strcmp(val, "random"))
                opt.lineOrder = Order::Random;
            else if (!std::strcmp(val, "blocks"))
                opt.lineOrder = Order::Blocks;
            else
                return false;
            ++i;
        } else if (!std::strcmp(arg, "-o") || !std::strcmp(arg, "--output")) {
            if (!val) return false;
            opt.output = val;
            ++i;
        } else if (arg[0] != '-' && !opt.output) {
            opt.output = arg;
        } else {
            return false;
        }
    }
    return true;
}

// Rearranges the ascending code lines into the requested input order.
std::vector<uint32_t> MakeOrder(Order order, uint32_t count, uint64_t seed) {
    std::vector<uint32_t> idx(count);
    for (uint32_t i = 0; i < count; ++i)
        idx[i] = i;
    Rng rng(seed ^ 0x6A09E667F3BCC908ULL);
    switch (order) {
    case Order::Asc:
        break;
    case Order::Desc:
        std::reverse(idx.begin(), idx.end());
        break;
    case Order::Random:
        for (uint32_t i = count; i > 1; --i)
            std::swap(idx[i - 1], idx[rng.Below(i)]);
        break;
    case Order::Blocks: {
        // Ascending runs of 64 to 4096 lines, the runs themselves shuffled.
        std::vector<std::pair<uint32_t, uint32_t>> runs;
        for (uint32_t start = 0; start < count;) {
            uint32_t len = std::min(rng.Range(64, 4096), count - start);
            runs.emplace_back(start, len);
            start += len;
        }
        for (size_t i = runs.size(); i > 1; --i)
            std::swap(runs[i - 1], runs[rng.Below(static_cast<uint32_t>(i))]);
        size_t k = 0;
        for (const auto& run : runs)
            for (uint32_t j = 0; j < run.second; ++j)
                idx[k++] = run.first + j;
        break;
    }
    }
    return idx;
}

const char kHeader[] = " APP\r\n"
                       "\r\n"
                       " Timestamp is 2de3f1a0 (Tue Jun 07 09:05:07 1994)\r\n"
                       "\r\n"
                       " Preferred load address is 00400000\r\n"
                       "\r\n"
                       " Start         Length     Name                   Class\r\n"
                       " 0001:00000000 %08XH .text                   CODE\r\n"
                       " 0002:00000000 %08XH .data                   DATA\r\n"
                       "\r\n"
                       "Memory layout of the program\r\n"
                       "Code\r\n"
                       "\r\n";

} // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseArgs(argc, argv, opt)) {
        Usage(stderr);
        return 2;
    }
    const uint64_t kMaxSymbols = 50000000;
    if (opt.symbols == 0 || opt.symbols > kMaxSymbols) {
        std::fprintf(stderr, "genmap: --symbols must be 1 to %llu\n",
                     static_cast<unsigned long long>(kMaxSymbols));
        return 2;
    }

    const uint32_t symbols = static_cast<uint32_t>(opt.symbols);
    const uint32_t sdkLines = symbols / 8;
    const uint32_t codeLines = symbols + sdkLines;
    const uint32_t dataLines = symbols / 16 + 4;

    // Keep every address within 32 bits however many lines there are.
    const uint32_t kBase = 0x00401000;
    const uint64_t budget = 0xE0000000ULL - kBase;
    uint32_t cap = 0x400;
    while (cap > 0x20 && uint64_t(codeLines) * cap > budget)
        cap /= 2;

    Rng rng(opt.seed);
    std::vector<std::string> objects = MakeObjectNames(rng, 60 + symbols / 2000);

    // Code lines in ascending address order. Modules come in runs, as each
    // object contributes a stretch of the image.
    std::string text;
    text.reserve(size_t(codeLines) * 92);
    std::vector<size_t> start(size_t(codeLines) + 1);
    std::string name;
    std::string own = objects[0], local = MakeLibraryModule(rng, false),
                sdk = MakeLibraryModule(rng, true);
    uint32_t addr = kBase;
    uint32_t sdkLeft = sdkLines;
    for (uint32_t i = 0; i < codeLines; ++i) {
        start[i] = text.size();
        if (i > 0 && !rng.Chance(15)) addr += NextGap(rng, cap);
        // Selection sampling puts exactly sdk_lines SDK lines among the rest.
        bool isSdk = rng.Below(codeLines - i) < sdkLeft;
        bool isLocal = !isSdk && rng.Chance(120);
        name.clear();
        MakeCodeName(rng, isSdk || isLocal, name);
        if (isSdk) {
            --sdkLeft;
            if (rng.Chance(120)) sdk = MakeLibraryModule(rng, true);
            FormatLine(text, addr, name, sdk);
        } else if (isLocal) {
            if (rng.Chance(100)) local = MakeLibraryModule(rng, false);
            FormatLine(text, addr, name, local);
        } else {
            if (rng.Chance(80)) own = objects[rng.Below(static_cast<uint32_t>(objects.size()))];
            FormatLine(text, addr, name, own);
        }
    }
    start[codeLines] = text.size();
    const uint32_t codeEnd = addr + 0x10;

    std::string data;
    data.reserve(size_t(dataLines) * 92);
    uint32_t daddr = (codeEnd + 0xFFF) & ~0xFFFu;
    const uint32_t dataStart = daddr;
    for (uint32_t i = 0; i < dataLines; ++i) {
        name = rng.Chance(500) ? "_g_" : "_";
        name += Pick(rng, kNouns);
        name += Pick(rng, kNouns);
        if (rng.Chance(300)) name += "Table";
        FormatLine(data, daddr, name, objects[rng.Below(static_cast<uint32_t>(objects.size()))]);
        daddr += rng.Range(1, 64) * 4;
    }

    FILE* out = stdout;
    if (opt.output && std::strcmp(opt.output, "-") != 0) {
        out = std::fopen(opt.output, "wb");
        if (!out) {
            std::fprintf(stderr, "genmap: cannot create %s: %s\n", opt.output,
                         std::strerror(errno));
            return 1;
        }
    }

    static char Outbuf[1 << 20];
    std::setvbuf(out, Outbuf, _IOFBF, sizeof Outbuf);
    char header[sizeof kHeader + 32];
    std::snprintf(header, sizeof header, kHeader, codeEnd - 0x1000, daddr - dataStart);
    std::fputs(header, out);

    // The code lines go into two sections with an import listing between
    // them; that listing starts with a space but lies outside any section.
    std::vector<uint32_t> order = MakeOrder(opt.lineOrder, codeLines, opt.seed);
    const uint32_t split = codeLines - codeLines / 3;
    for (uint32_t k = 0; k < codeLines; ++k) {
        if (k == split) {
            std::fputs("\r\nImport thunks\r\n", out);
            for (uint32_t j = 0; j < 8; ++j)
                std::fprintf(out, " %08X __imp__%s%s@%u      %s\r\n", daddr + 0x1000 + 4 * j,
                             kVerbs[j], kNouns[j], 4 * (j % 4), kSdkLibs[j % 4]);
            std::fputs("\r\nCode\r\n", out);
        }
        uint32_t i = order[k];
        std::fwrite(text.data() + start[i], 1, start[i + 1] - start[i], out);
    }
    std::fputs("\r\nData\r\n", out);
    std::fwrite(data.data(), 1, data.size(), out);
    std::fputs("\r\n entry point at        0001:00000000\r\n", out);

    bool ok = !std::ferror(out);
    ok = (out == stdout ? std::fflush(out) == 0 : std::fclose(out) == 0) && ok;
    if (!ok) {
        std::fprintf(stderr, "genmap: write failed: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

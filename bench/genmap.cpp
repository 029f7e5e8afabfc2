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
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n); n must be nonzero.
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(((next() >> 32) * n) >> 32); }
    // Uniform in [lo, hi].
    uint32_t range(uint32_t lo, uint32_t hi) { return lo + below(hi - lo + 1); }
    bool chance(uint32_t per_mille) { return below(1000) < per_mille; }

  private:
    uint64_t state_;
};

template <size_t N> const char* pick(Rng& rng, const char* const (&list)[N]) {
    return list[rng.below(N)];
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

void append_lower(std::string& out, const char* word) {
    for (const char* p = word; *p; ++p)
        out += static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p + 32 : *p);
}

// A length-prefixed identifier as used in Itanium-style mangled names.
void append_counted(std::string& out, const std::string& word) {
    out += std::to_string(word.size());
    out += word;
}

// Appends one code symbol name, leading underscores included, to out.
// Library members are more often run-time routines such as _strlen.
void make_code_name(Rng& rng, bool library, std::string& out) {
    uint32_t style = rng.below(100);
    if (library && style < 30) style = 55;
    if (style < 38) { // C function: _ParseHeader, _GetFileSizeEx@8
        out += '_';
        out += pick(rng, kVerbs);
        out += pick(rng, kNouns);
        if (rng.chance(350)) out += pick(rng, kNouns);
        if (rng.chance(150)) out += pick(rng, kSuffixes);
        if (rng.chance(200)) {
            out += '@';
            out += std::to_string(4 * rng.range(0, 6));
        }
    } else if (style < 53) { // snake case: _io_read_buffer
        out += '_';
        append_lower(out, pick(rng, kNouns));
        out += '_';
        append_lower(out, pick(rng, kVerbs));
        out += '_';
        append_lower(out, pick(rng, kNouns));
        if (rng.chance(250)) {
            out += '_';
            append_lower(out, pick(rng, kNouns));
        }
    } else if (style < 60) { // run-time library: _strlen, __strlen
        out += rng.chance(300) ? "__" : "_";
        out += pick(rng, kLibc);
    } else if (style < 72) { // MSVC C++: ?ReadHeader@MapFile@@QAEHPBDH@Z
        out += '?';
        out += pick(rng, kVerbs);
        out += pick(rng, kNouns);
        out += '@';
        out += pick(rng, kNouns);
        if (rng.chance(300)) out += pick(rng, kNouns);
        if (rng.chance(250)) {
            out += '@';
            append_lower(out, pick(rng, kNouns));
        }
        out += "@@";
        out += rng.chance(500) ? "QAE" : "UAE";
        out += pick(rng, kMsvcTypes);
        uint32_t params = rng.range(0, 3);
        for (uint32_t i = 0; i < params; ++i)
            out += pick(rng, kMsvcTypes);
        out += params == 0 ? "XZ" : "@Z";
    } else if (style < 82) { // Itanium C++: _ZN6korval7MapFile10ReadHeaderEPKci
        out += "_ZN";
        std::string word;
        append_lower(word, pick(rng, kNouns));
        append_counted(out, word);
        append_counted(out, std::string(pick(rng, kNouns)) + pick(rng, kNouns));
        append_counted(out, std::string(pick(rng, kVerbs)) + pick(rng, kNouns));
        out += 'E';
        uint32_t params = rng.range(1, 3);
        for (uint32_t i = 0; i < params; ++i)
            out += pick(rng, kItaniumTypes);
    } else if (style < 92) { // long descriptive C name, often past 32 characters
        out += '_';
        out += pick(rng, kVerbs);
        uint32_t words = rng.range(3, 5);
        for (uint32_t i = 0; i < words; ++i)
            out += pick(rng, kNouns);
    } else { // short C name: _Init, _draw
        out += '_';
        if (rng.chance(500)) {
            out += pick(rng, kVerbs);
        } else {
            append_lower(out, pick(rng, kVerbs));
            append_lower(out, pick(rng, kNouns));
        }
    }
}

// The program's own object files; a link has a few hundred of them.
std::vector<std::string> make_object_names(Rng& rng, uint32_t count) {
    std::vector<std::string> objects;
    objects.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        std::string name;
        append_lower(name, pick(rng, kNouns));
        if (rng.chance(500)) append_lower(name, pick(rng, kNouns));
        if (rng.chance(200)) name += std::to_string(rng.range(1, 9));
        name += ".obj";
        objects.push_back(name);
    }
    return objects;
}

// A library member module field; with a path when sdk is set.
std::string make_library_module(Rng& rng, bool sdk) {
    std::string module;
    if (sdk) {
        module += pick(rng, kSdkDirs);
        module += pick(rng, kSdkLibs);
    } else {
        module += pick(rng, kLocalLibs);
    }
    module += '(';
    append_lower(module, pick(rng, kNouns));
    module += ".obj)";
    return module;
}

// Appends " ADDR name module f" in the column layout of the map, with CR LF.
void format_line(std::string& out, uint32_t addr, const std::string& name,
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
uint32_t next_gap(Rng& rng, uint32_t cap) {
    uint32_t units = cap / 0x10;
    uint32_t bits = 0;
    while ((2u << bits) <= units)
        ++bits;
    uint32_t bit = rng.below(bits);
    uint32_t lo = 1u << bit;
    uint32_t hi = std::min((2u << bit) - 1, units);
    return rng.range(lo, hi) * 0x10;
}

enum class Order { Asc, Desc, Random, Blocks };

struct Options {
    uint64_t symbols = 10000;
    Order order = Order::Asc;
    uint64_t seed = 1;
    const char* output = nullptr;
};

void usage(FILE* to) {
    std::fprintf(to, "usage: genmap --symbols N [--order asc|desc|random|blocks] [--seed S] "
                     "[-o FILE | FILE]\n"
                     "Writes a synthetic linker map with N convertible code lines "
                     "(to standard output without FILE).\n");
}

bool parse_number(const char* text, uint64_t& value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-') return false;
    value = v;
    return true;
}

bool parse_args(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) {
            usage(stdout);
            std::exit(0);
        } else if (!std::strcmp(arg, "--symbols")) {
            if (!parse_number(val, opt.symbols)) return false;
            ++i;
        } else if (!std::strcmp(arg, "--seed")) {
            if (!parse_number(val, opt.seed)) return false;
            ++i;
        } else if (!std::strcmp(arg, "--order")) {
            if (!val) return false;
            if (!std::strcmp(val, "asc"))
                opt.order = Order::Asc;
            else if (!std::strcmp(val, "desc"))
                opt.order = Order::Desc;
            else if (!std::strcmp(val, "random"))
                opt.order = Order::Random;
            else if (!std::strcmp(val, "blocks"))
                opt.order = Order::Blocks;
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
std::vector<uint32_t> make_order(Order order, uint32_t count, uint64_t seed) {
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
            std::swap(idx[i - 1], idx[rng.below(i)]);
        break;
    case Order::Blocks: {
        // Ascending runs of 64 to 4096 lines, the runs themselves shuffled.
        std::vector<std::pair<uint32_t, uint32_t>> runs;
        for (uint32_t start = 0; start < count;) {
            uint32_t len = std::min(rng.range(64, 4096), count - start);
            runs.emplace_back(start, len);
            start += len;
        }
        for (size_t i = runs.size(); i > 1; --i)
            std::swap(runs[i - 1], runs[rng.below(static_cast<uint32_t>(i))]);
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
    if (!parse_args(argc, argv, opt)) {
        usage(stderr);
        return 2;
    }
    const uint64_t kMaxSymbols = 50000000;
    if (opt.symbols == 0 || opt.symbols > kMaxSymbols) {
        std::fprintf(stderr, "genmap: --symbols must be 1 to %llu\n",
                     static_cast<unsigned long long>(kMaxSymbols));
        return 2;
    }

    const uint32_t symbols = static_cast<uint32_t>(opt.symbols);
    const uint32_t sdk_lines = symbols / 8;
    const uint32_t code_lines = symbols + sdk_lines;
    const uint32_t data_lines = symbols / 16 + 4;

    // Keep every address within 32 bits however many lines there are.
    const uint32_t kBase = 0x00401000;
    const uint64_t budget = 0xE0000000ULL - kBase;
    uint32_t cap = 0x400;
    while (cap > 0x20 && uint64_t(code_lines) * cap > budget)
        cap /= 2;

    Rng rng(opt.seed);
    std::vector<std::string> objects = make_object_names(rng, 60 + symbols / 2000);

    // Code lines in ascending address order. Modules come in runs, as each
    // object contributes a stretch of the image.
    std::string text;
    text.reserve(size_t(code_lines) * 92);
    std::vector<size_t> start(size_t(code_lines) + 1);
    std::string name;
    std::string own = objects[0], local = make_library_module(rng, false),
                sdk = make_library_module(rng, true);
    uint32_t addr = kBase;
    uint32_t sdk_left = sdk_lines;
    for (uint32_t i = 0; i < code_lines; ++i) {
        start[i] = text.size();
        if (i > 0 && !rng.chance(15)) addr += next_gap(rng, cap);
        // Selection sampling puts exactly sdk_lines SDK lines among the rest.
        bool is_sdk = rng.below(code_lines - i) < sdk_left;
        bool is_local = !is_sdk && rng.chance(120);
        name.clear();
        make_code_name(rng, is_sdk || is_local, name);
        if (is_sdk) {
            --sdk_left;
            if (rng.chance(120)) sdk = make_library_module(rng, true);
            format_line(text, addr, name, sdk);
        } else if (is_local) {
            if (rng.chance(100)) local = make_library_module(rng, false);
            format_line(text, addr, name, local);
        } else {
            if (rng.chance(80)) own = objects[rng.below(static_cast<uint32_t>(objects.size()))];
            format_line(text, addr, name, own);
        }
    }
    start[code_lines] = text.size();
    const uint32_t code_end = addr + 0x10;

    std::string data;
    data.reserve(size_t(data_lines) * 92);
    uint32_t daddr = (code_end + 0xFFF) & ~0xFFFu;
    const uint32_t data_start = daddr;
    for (uint32_t i = 0; i < data_lines; ++i) {
        name = rng.chance(500) ? "_g_" : "_";
        name += pick(rng, kNouns);
        name += pick(rng, kNouns);
        if (rng.chance(300)) name += "Table";
        format_line(data, daddr, name, objects[rng.below(static_cast<uint32_t>(objects.size()))]);
        daddr += rng.range(1, 64) * 4;
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

    static char outbuf[1 << 20];
    std::setvbuf(out, outbuf, _IOFBF, sizeof outbuf);
    char header[sizeof kHeader + 32];
    std::snprintf(header, sizeof header, kHeader, code_end - 0x1000, daddr - data_start);
    std::fputs(header, out);

    // The code lines go into two sections with an import listing between
    // them; that listing starts with a space but lies outside any section.
    std::vector<uint32_t> order = make_order(opt.order, code_lines, opt.seed);
    const uint32_t split = code_lines - code_lines / 3;
    for (uint32_t k = 0; k < code_lines; ++k) {
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

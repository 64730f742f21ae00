// The statistics tool's CSV table model: load, normalise, lay out, classify.
// Every stage is one pass (or a sort) over the text or the rows, so a station
// log of a hundred megabytes loads in about the time it takes to read it.
#include "ZelkCsv.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "ZelkAlert.h"
#include "ZelkCsvText.h"
#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "file/pf_file.h"
#include "number/pf_number.h"

namespace {

const char kEmpty[] = "";
const char kAll[] = "ALL";

inline char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// `word` is lower case.
inline bool startsNoCase(const char* p, size_t n, std::string_view word) {
    if (n < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (lowerAscii(p[i]) != word[i]) return false;
    return true;
}

inline bool equalsNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (lowerAscii(*a) != lowerAscii(*b)) return false;
        if (!*a) return true;
    }
}

// Position of `word` (lower case) in [p, p + n), any letter case; npos when absent.
size_t findNoCase(const char* p, size_t n, std::string_view word) {
    if (word.empty() || n < word.size()) return std::string_view::npos;
    for (size_t i = 0; i + word.size() <= n; ++i)
        if (lowerAscii(p[i]) == word[0] && startsNoCase(p + i, n - i, word)) return i;
    return std::string_view::npos;
}

// Copies the line src[0, n) to dst (dst <= src; they may overlap), replacing
// each cell after the first that equals one of the chosen words, in any letter
// case, with "NA". Returns the new length; `count` grows by one per cell.
size_t replaceCells(char* dst, const char* src, size_t n, bool nanNA, bool inf, uint64_t& count,
                    size_t* commas = nullptr) {
    // The line moves once; cells move again only behind a replacement.
    if (dst != src) std::memmove(dst, src, n);
    src = dst;
    size_t w = 0, cs = 0, index = 0;
    while (cs <= n) {
        const void* hit = std::memchr(src + cs, ',', n - cs);
        const size_t ce = hit ? static_cast<size_t>(static_cast<const char*>(hit) - src) : n;
        const size_t len = ce - cs;
        bool toNA = false;
        if (index > 0 && len == 3) {
            const char* c = src + cs;
            toNA = (nanNA && (startsNoCase(c, 3, "nan") || startsNoCase(c, 3, "n/a"))) ||
                   (inf && startsNoCase(c, 3, "inf"));
        }
        if (toNA) {
            dst[w++] = 'N';
            dst[w++] = 'A';
            ++count;
        } else {
            if (dst + w != src + cs) std::memmove(dst + w, src + cs, len);
            w += len;
        }
        if (ce == n) break;
        dst[w++] = ',';
        cs = ce + 1;
        ++index;
    }
    if (commas) *commas = index;
    return w;
}

// replaceCells(dst, src, n, true, true, count, &commas) for a line with no "nan",
// "N/A" or "inf" cell, the usual one, without walking it cell by cell: every such
// word has an 'n', so a line with none after its first cell is only moved and its
// commas counted, in one pass the compiler can widen.
size_t replaceAnyCells(char* dst, const char* src, size_t n, uint64_t& count, size_t& commas) {
    if (dst != src) std::memmove(dst, src, n);
    const void* firstComma = std::memchr(dst, ',', n);
    if (!firstComma) {
        commas = 0;
        return n;
    }
    const size_t from = static_cast<size_t>(static_cast<const char*>(firstComma) - dst);
    size_t c = 0;
    unsigned hasN = 0;
    // Byte-wide sums over blocks that cannot overflow them keep the loop in wide registers.
    for (size_t i = from; i < n;) {
        const size_t end = std::min(n, i + 255);
        unsigned char blockCommas = 0, blockN = 0;
        for (; i < end; ++i) {
            blockCommas = static_cast<unsigned char>(blockCommas + (dst[i] == ','));
            blockN = static_cast<unsigned char>(blockN | ((dst[i] | 0x20) == 'n'));
        }
        c += blockCommas;
        hasN |= blockN;
    }
    if (!hasN) {
        commas = c;
        return n;
    }
    return replaceCells(dst, dst, n, true, true, count, &commas);
}

// Where the first non-empty cell of a line begins.
size_t firstFilledCell(const char* p, size_t n) {
    size_t k = 0;
    while (k < n && p[k] == ',') ++k;
    return k;
}

// Replaces every `from` (lower case, any letter case in the text) by the text
// found with the bytes [cutAt, cutAt + cutLen) taken out, and then the byte at
// `thenAt` of what is left (none when npos); one count each.
void cutInside(std::string& s, std::string_view from, size_t cutAt, size_t cutLen, uint64_t& count,
               size_t thenAt = std::string::npos) {
    if (findNoCase(s.data(), s.size(), from) == std::string_view::npos) return;
    // Built anew in one pass, so a line of many markers costs no more than its length.
    std::string out;
    out.reserve(s.size());
    size_t pos = 0;
    while (true) {
        const size_t hit = findNoCase(s.data() + pos, s.size() - pos, from);
        if (hit == std::string_view::npos) break;
        const size_t at = pos + hit;
        out.append(s, pos, at - pos);
        std::string m = s.substr(at, from.size());
        m.erase(cutAt, cutLen);
        if (thenAt != std::string::npos) m.erase(thenAt, 1);
        out += m;
        ++count;
        pos = at + from.size();
    }
    out.append(s, pos, std::string::npos);
    s.swap(out);
}

constexpr std::string_view kHubr = "hubr priority ----->";
constexpr std::string_view kCof = "cof ";
constexpr std::string_view kDisplay = "display name ----->";

// Stage clock shared by every load and merge of the process (progress lines only).
struct StageClock {
    std::chrono::steady_clock::time_point start, last;
    void begin() { start = last = std::chrono::steady_clock::now(); }
    double lap() {
        const auto now = std::chrono::steady_clock::now();
        const double s = std::chrono::duration<double>(now - last).count();
        last = now;
        return s;
    }
    double total() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); }
};
StageClock g_clock;

void stage(const char* name) {
    std::printf("[ZelkCsv::%s[%s]: %.3f sec]\n", "load_csvFile", name, g_clock.lap());
}

void trace(const char* method, int line) {
    char stamp[16];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    std::printf("[%s %s:[ZelkCsv %s]:%d]\n", stamp, "ZelkCsv.cpp", method, line);
}

// The rows of a table as one record of text row and value row, so that sorts
// and exchanges move both together.
inline void swapRows(tCsv_strRow* s, tCsv_datRow* d, size_t a, size_t b) {
    std::swap(s[a], s[b]);
    std::swap(d[a], d[b]);
}

// FNV-1a over the lower-cased bytes of a text.
inline uint64_t hashNoCase(const char* t, uint64_t h) {
    for (; *t; ++t) h = (h ^ static_cast<unsigned char>(lowerAscii(*t))) * 1099511628211ull;
    return h;
}

inline uint64_t hashExact(const char* t) {
    uint64_t h = 1469598103934665603ull;
    for (; *t; ++t) h = (h ^ static_cast<unsigned char>(*t)) * 1099511628211ull;
    return h;
}

// A set of row numbers by open addressing, for the caller's hash and equality of
// rows: one slot array for the whole pass instead of one allocation per row.
template <class Hash, class Eq>
class RowSet {
public:
    RowSet(size_t n, Hash h, Eq e) : hash_(h), eq_(e) {
        size_t cap = 16;
        while (cap < 2 * n) cap <<= 1;
        slots_.assign(cap, 0);
        mask_ = cap - 1;
    }
    // The row held that equals `row`, or `row` itself once it is added.
    uint32_t insert(uint32_t row) { return insertHashed(row, hash_(row)); }
    // The same with the row's hash already known (a pass that hashes its rows
    // ahead can fetch their slots ahead too).
    uint32_t insertHashed(uint32_t row, uint64_t h) {
        size_t i = static_cast<size_t>(mix(h)) & mask_;
        for (; slots_[i]; i = (i + 1) & mask_)
            if (eq_(slots_[i] - 1, row)) return slots_[i] - 1;
        slots_[i] = row + 1;
        return row;
    }
    void prefetch(uint64_t h) const { __builtin_prefetch(&slots_[static_cast<size_t>(mix(h)) & mask_]); }

private:
    static uint64_t mix(uint64_t h) { return (h ^ (h >> 31)) * 0x9E3779B97F4A7C15ull; }
    Hash hash_;
    Eq eq_;
    std::vector<uint32_t> slots_;
    size_t mask_;
};

// Hashes of n rows, h(i) each, fetching the rows a little ahead: the rows and
// their texts lie far apart in a large table, and a pass that waits for each in
// turn spends most of its time waiting. `touch(i)` prefetches row i's pointers;
// `touchText(i)` (called later, once they are in) prefetches what they point to.
// f(from, to) over [0, n): a large range in up to four parts side by side, each
// part's call on a thread of its own (f must not throw); a small one in one call.
inline size_t partCount(size_t n) {
    return n < 20000 ? 1 : std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
}

// f(part, from, to) over [0, n) in partCount(n) parts, each on a thread of its own
// but the first (f must not throw).
template <class F>
void inParts(size_t n, F f) {
    const size_t parts = partCount(n);
    std::vector<std::thread> workers;
    size_t started = 1;
    try {
        for (; started < parts; ++started) workers.emplace_back(f, started, n * started / parts, n * (started + 1) / parts);
    } catch (const std::exception&) {
        // No thread to be had: this one does what the others would have.
    }
    f(size_t(0), size_t(0), n / parts);
    for (auto& w : workers) w.join();
    for (size_t k = started; k < parts; ++k) f(k, n * k / parts, n * (k + 1) / parts);
}

// Hashes of n rows, h(i) each, fetching the rows a little ahead: the rows and
// their texts lie far apart in a large table, and a pass that waits for each in
// turn spends most of its time waiting. `touch(i)` prefetches row i's pointers;
// `touchText(i)` (called later, once they are in) prefetches what they point to.
template <class Hash, class Touch, class TouchText>
std::vector<uint64_t> rowHashes(size_t n, Hash h, Touch touch, TouchText touchText) {
    constexpr size_t kRowsAhead = 16, kTextAhead = 8;
    std::vector<uint64_t> out(n);
    inParts(n, [&](size_t, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            if (i + kRowsAhead < to) touch(i + kRowsAhead);
            if (i + kTextAhead < to) touchText(i + kTextAhead);
            out[i] = h(i);
        }
    });
    return out;
}

}  // namespace

namespace zcsv {

namespace {

// normaliseText's rules over the whole lines buf[from, to) (`to` just past a line
// end), the result written from `from` on; returns the end of what was written.
size_t normaliseLines(char* buf, size_t from, size_t to, uint64_t& fixes, std::vector<char>* lostComma,
                      LineIndex* lines) {
    const size_t len = to;
    size_t out = from, r = from;
    std::string slow;
    while (r < len) {
        const char* line = buf + r;
        const char* nl = static_cast<const char*>(std::memchr(line, '\n', len - r));
        size_t n = static_cast<size_t>(nl - line);
        if (const void* cr = std::memchr(line, '\r', n)) n = static_cast<size_t>(static_cast<const char*>(cr) - line);
        const size_t next = r + n + 1;
        if (line[n] == '\r') ++fixes;
        if (n == 0 && r > 0) {
            ++fixes;  // an empty line (or the LF of a CR LF pair): a line end follows a line end
            r = next;
            continue;
        }
        size_t lineLen = 0, commas = 0;
        bool keep = true;
        bool counted = false;  // commas known
        if (!std::memchr(line, '>', n)) {
            // No arrow, so of the marker lines only a "COF " line can be here.
            const size_t f = firstFilledCell(line, n);
            keep = !startsNoCase(line + f, n - f, kCof);
            if (keep) {
                lineLen = replaceAnyCells(buf + out, line, n, fixes, commas);
                counted = true;
            } else {
                uint64_t scratch = 0;  // the line goes, but its nan and N/A cells were counted first
                std::string copy(line, n);
                replaceCells(copy.data(), copy.data(), n, true, false, scratch);
                fixes += scratch + 1;
            }
        } else {
            slow.assign(line, n);
            slow.resize(replaceCells(slow.data(), slow.data(), n, true, false, fixes));
            size_t f = firstFilledCell(slow.data(), slow.size());
            if (startsNoCase(slow.data() + f, slow.size() - f, kHubr)) {
                fixes += 256;
                keep = false;
            } else {
                // "Measurement Unit ----->" is spelled "Unit----->".
                cutInside(slow, "measurement unit ----->", 0, 12, fixes, 4);
                f = firstFilledCell(slow.data(), slow.size());
                if (startsNoCase(slow.data() + f, slow.size() - f, kCof) ||
                    startsNoCase(slow.data() + f, slow.size() - f, kDisplay)) {
                    ++fixes;
                    keep = false;
                }
            }
            if (keep) {
                cutInside(slow, "upper limit ----->", 11, 1, fixes);
                cutInside(slow, "lower limit ----->", 11, 1, fixes);
                slow.resize(replaceCells(slow.data(), slow.data(), slow.size(), false, true, fixes));
                std::memcpy(buf + out, slow.data(), slow.size());
                lineLen = slow.size();
            }
        }
        if (keep) {
            // One trailing comma per line goes.
            const bool lost = lineLen > 0 && buf[out + lineLen - 1] == ',';
            if (lost) --lineLen;
            if (lostComma) lostComma->push_back(lost);
            if (lines) {
                if (!counted) commas = static_cast<size_t>(std::count(buf + out, buf + out + lineLen, ','));
                else if (lost) --commas;
                lines->start.push_back(out);
                lines->fields.push_back(static_cast<uint32_t>(commas + 1));
            }
            out += lineLen;
            buf[out++] = '\n';
        }
        r = next;
    }
    return out;
}

}  // namespace

size_t normaliseText(char* buf, size_t len, uint64_t& fixes, std::vector<char>* lostComma, LineIndex* lines,
                     size_t partBytes) {
    if (len == 0 || buf[len - 1] != '\n') buf[len++] = '\n';
    buf[len] = '\0';
    // One pass over the segments between line ends: a CR ends a line like an LF
    // (and counts one), an empty segment after a line end is an empty line that
    // goes (one each), and every line that stays gets the cell and marker rules.
    // The result is the text the rules give one after the other over the whole
    // text, since no rule after the empty-line one makes or joins lines.
    //
    // Every rule sees one line alone, so a large text is cut after line ends into
    // parts normalised side by side, each written over its own start; the parts
    // are then moved together (far less than reading them).
    const size_t hw = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
    const size_t count = partBytes == 0 ? 1 : std::clamp<size_t>(len / partBytes, 1, hw);
    struct Part {
        size_t from = 0, to = 0, end = 0;
        uint64_t fixes = 0;
        std::vector<char> lost;
        LineIndex index;
        std::exception_ptr error;
    };
    std::vector<Part> parts;
    parts.reserve(count);
    for (size_t k = 0, from = 0; k < count && from < len; ++k) {
        size_t to = len;
        if (k + 1 < count) {
            const size_t at = std::max(from, len / count * (k + 1));
            const void* nl = std::memchr(buf + at, '\n', len - at);
            to = static_cast<size_t>(static_cast<const char*>(nl) - buf) + 1;
        }
        parts.emplace_back();
        parts.back().from = from;
        parts.back().to = to;
        from = to;
    }
    auto run = [&](Part& pt) {
        try {
            pt.end = normaliseLines(buf, pt.from, pt.to, pt.fixes, lostComma ? &pt.lost : nullptr,
                                    lines ? &pt.index : nullptr);
        } catch (...) {
            pt.error = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    size_t started = 1;
    try {
        for (; started < parts.size(); ++started) workers.emplace_back(run, std::ref(parts[started]));
    } catch (const std::exception&) {
        // No thread to be had: this one does what the others would have.
    }
    run(parts[0]);
    for (auto& w : workers) w.join();
    for (size_t k = started; k < parts.size(); ++k) run(parts[k]);
    size_t out = 0;
    for (Part& pt : parts) {
        if (pt.error) std::rethrow_exception(pt.error);
        const size_t n = pt.end - pt.from;
        if (out != pt.from) std::memmove(buf + out, buf + pt.from, n);
        fixes += pt.fixes;
        if (lostComma) lostComma->insert(lostComma->end(), pt.lost.begin(), pt.lost.end());
        if (lines) {
            for (size_t& st : pt.index.start) st = st - pt.from + out;
            lines->start.insert(lines->start.end(), pt.index.start.begin(), pt.index.start.end());
            lines->fields.insert(lines->fields.end(), pt.index.fields.begin(), pt.index.fields.end());
        }
        out += n;
    }
    buf[out] = '\0';
    return out;
}

bool cellIsNumeric(const char* t) {
    if (!t || !*t) return false;
    if (lowerAscii(t[0]) == 'n' && lowerAscii(t[1]) == 'a' && t[2] == '\0') return true;
    int dots = 0, minus = 0;
    for (const char* p = t; *p; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') continue;
        if (c == '.') {
            if (++dots > 1) return false;
        } else if (c == '-') {
            if (++minus > 1) return false;
        } else {
            return false;
        }
    }
    return true;
}

double cellValue(const char* t) {
    // Plain decimals with few digits are exact as an integer over a power of ten:
    // one correctly rounded division gives what the C library's reader gives.
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char* p = t;
    const bool neg = *p == '-';
    if (neg) ++p;
    uint64_t m = 0;
    int digits = 0, sig = 0, frac = -1;
    for (;; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            ++digits;
            if (m != 0 || c != '0') ++sig;
            if (sig > 19) break;
            m = m * 10 + static_cast<uint64_t>(c - '0');
            if (frac >= 0) ++frac;
        } else if (c == '.' && frac < 0) {
            frac = 0;
        } else {
            break;
        }
    }
    if (*p == '\0' && digits > 0 && m <= (uint64_t(1) << 53) && frac <= 22) {
        const double v = static_cast<double>(m) / kPow10[frac < 0 ? 0 : frac];
        return neg ? -v : v;
    }
    if (!cellIsNumeric(t)) return kZelk_noValue;
    char* end = nullptr;
    const double v = pf::number::parse(t, &end);
    return end == t ? kZelk_noValue : v;
}

// Reads size bytes of fd into dst. A large file is read in a few parts side by
// side: the copy out of the page cache, and the first touch of each fresh page,
// are most of a large load's reading time, and they divide.
bool readWhole(int fd, char* dst, size_t size, bool& hasNul, size_t partBytes) {
    std::atomic<bool> nul{false};
    auto readRange = [fd, dst, &nul](size_t from, size_t to) {
        constexpr size_t kPiece = size_t(1) << 20;
        while (from < to) {
            const ssize_t k = ::pread(fd, dst + from, std::min(to - from, kPiece), static_cast<off_t>(from));
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) return false;
            if (std::memchr(dst + from, '\0', static_cast<size_t>(k))) nul.store(true, std::memory_order_relaxed);
            from += static_cast<size_t>(k);
        }
        return true;
    };
    const size_t parts = std::clamp<size_t>(size / std::max<size_t>(partBytes, 1), 1,
                                            std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4));
    std::vector<std::thread> workers;
    std::vector<char> ok(parts, 0);
    size_t started = 1;
    try {
        for (; started < parts; ++started)
            workers.emplace_back([&, k = started] { ok[k] = readRange(size / parts * k, k + 1 < parts ? size / parts * (k + 1) : size); });
    } catch (const std::exception&) {
        // No thread to be had: this one reads what the others would have.
    }
    ok[0] = readRange(0, parts > 1 ? size / parts : size);
    for (auto& w : workers) w.join();
    for (size_t k = started; k < parts; ++k) ok[k] = readRange(size / parts * k, k + 1 < parts ? size / parts * (k + 1) : size);
    hasNul = nul.load();
    return std::all_of(ok.begin(), ok.end(), [](char v) { return v != 0; });
}

// Cuts the cell starting at c (it ends at the next ',' or '\n', which becomes its
// terminator) and gives its value as cellValue does; returns the terminator's place.
// Plain decimals of up to 19 digits, the log's usual cells, are read as they are
// cut: one pass over their bytes instead of a search for the end and a second read.
char* cutCell(char* c, double& value, bool& lineEnd) {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    char* p = c;
    const bool neg = *p == '-';
    if (neg) ++p;
    const char* const intStart = p;
    uint64_t m = 0;
    for (unsigned d; (d = static_cast<unsigned char>(*p) - static_cast<unsigned>('0')) <= 9; ++p) m = m * 10 + d;
    size_t digits = static_cast<size_t>(p - intStart);
    size_t frac = 0;
    bool dot = false;
    if (*p == '.') {
        dot = true;
        const char* const fracStart = ++p;
        for (unsigned d; (d = static_cast<unsigned char>(*p) - static_cast<unsigned>('0')) <= 9; ++p) m = m * 10 + d;
        frac = static_cast<size_t>(p - fracStart);
        digits += frac;
    }
    // Up to 19 digits cannot overflow m and are what cellValue reads the same way
    // (more may have wrapped m: it is not used then); anything else takes
    // cellValue's own road on the cut text.
    if ((*p == ',' || *p == '\n') && digits > 0 && digits <= 19 && m <= (uint64_t(1) << 53) && frac <= 22) {
        const double v = static_cast<double>(m) / kPow10[dot ? frac : 0];
        value = neg ? -v : v;
        lineEnd = *p == '\n';
        *p = '\0';
        return p;
    }
    p += std::strcspn(p, ",\n");
    lineEnd = *p == '\n';
    *p = '\0';
    value = cellValue(c);
    return p;
}

}  // namespace zcsv

std::mutex ZelkCsv::_mtxCsvMrg;

ZelkCsv::Block& ZelkCsv::Block::operator=(Block&& o) noexcept {
    if (this != &o) {
        reset();
        _p = o._p;
        _size = o._size;
        _mapped = o._mapped;
        o._p = nullptr;
        o._size = 0;
    }
    return *this;
}

bool ZelkCsv::Block::allocate(size_t bytes) {
    reset();
    if (bytes == 0) bytes = 1;
    // Small blocks stay on the heap, where the sanitizers watch their edges.
    constexpr size_t kLarge = size_t(4) << 20;
    if (bytes < kLarge) {
        _p = std::calloc(bytes, 1);
        _mapped = false;
    } else {
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) p = nullptr;
        if (p) ::madvise(p, bytes, MADV_HUGEPAGE);
        _p = p;
        _mapped = true;
    }
    _size = _p ? bytes : 0;
    return _p != nullptr;
}

void ZelkCsv::Block::reset() {
    if (_p) {
        if (_mapped)
            ::munmap(_p, _size);
        else
            std::free(_p);
    }
    _p = nullptr;
    _size = 0;
}

ZelkCsv::ZelkCsv() = default;

ZelkCsv::~ZelkCsv() {
    trace("dealloc", __LINE__);
    resetParams();
}

std::shared_ptr<ZelkCsv> ZelkCsv::initWithCsvFile_filePathName(const char* path, bool writeCorrected) {
    std::shared_ptr<ZelkCsv> t;
    try {
        t = std::make_shared<ZelkCsv>();
    } catch (const std::exception&) {
        return nullptr;
    }
    t->_csvType = 0;
    t->resetParams();
    t->load_csvFile(path, writeCorrected);
    return t;
}

void ZelkCsv::resetParams() {
    trace("resetParams", __LINE__);
    _fileStrBuff.reset();
    _fileStrBuffSize = 0;
    _memoryPoolSize = 0;
    _filePathName.clear();
    _rows = _cols = -1;
    _memoryPool.reset();
    _sRows = {};
    _dRows = {};
    _rowIdx_title = _rowIdx_limit_upper = _rowIdx_limit_lower = _rowIdx_ers_upper = _rowIdx_ers_lower =
        _rowIdx_unit = _rowIdx_grrStdev = _rowIdx_grrLimit = -1;
    _columnItem = {};
    _colIdx_errCode = _colIdx_timeStamp = _colIdx_config = _colIdx_TesterID = -1;
    _dataRowStartIdx = -1;
    _dataCnt_total = _dataCnt = -1;
    _config = Categories{};
    _tester = Categories{};
}

void ZelkCsv::fail(int code, const char* path, int line) {
    ZERR_Report(nullptr, __FILE__, "load_csvFile", line, code);
    resetParams();
    const std::string text =
        std::string("the csv file content is invalid\nPlease check and try again\n") + (path ? path : "");
    ZelkAlert_show("Invalid CSV File", text.c_str());
}

int ZelkCsv::load_csvFile(const char* path, bool writeCorrected) {
    g_clock.begin();
    int code = kZErr_OK;
    int line = __LINE__;
    Block buf;
    size_t size = 0;
    bool hasNul = false;
    try {
        if (!path || std::strlen(path) >= 2048) {
            code = kZErr_invalidParam, line = __LINE__;
        } else {
            struct stat st {};
            if (::stat(path, &st) != 0) {
                code = kZErr_fileNotExist, line = __LINE__;
            } else {
                const int fd = S_ISDIR(st.st_mode) ? -1 : ::open(path, O_RDONLY | O_CLOEXEC);
                if (fd < 0) {
                    code = kZErr_fileOpenFailed, line = __LINE__;
                } else {
                    struct stat fst {};
                    if (::fstat(fd, &fst) != 0 || fst.st_size <= 0) {
                        code = kZErr_invalidFormat, line = __LINE__;
                    } else {
                        size = static_cast<size_t>(fst.st_size);
                        if (!buf.allocate(size + 2)) {
                            code = kZErr_memAllocationFailed, line = __LINE__;
                        } else {
                            if (!zcsv::readWhole(fd, static_cast<char*>(buf.data()), size, hasNul))
                                code = kZErr_fileReadFailed, line = __LINE__;
                        }
                    }
                    ::close(fd);
                }
            }
        }
        stage("load file");
        if (code == kZErr_OK) {
            // A NUL byte would end every text at it: such a file is no CSV log.
            code = hasNul ? kZErr_invalidFormat : loadStages(path, std::move(buf), size, writeCorrected, true);
            line = __LINE__;
        }
    } catch (const std::exception&) {
        code = kZErr_memAllocationFailed, line = __LINE__;
    }
    _isValid = code == kZErr_OK;
    if (!_isValid) fail(code, path, line);
    return code;
}

int ZelkCsv::load_csvText(const char* text, size_t size, const char* path, bool writeCorrected) {
    g_clock.begin();
    int code = kZErr_OK;
    try {
        resetParams();
        if (!text || size == 0) {
            code = kZErr_invalidFormat;
        } else {
            Block buf;
            if (!buf.allocate(size + 2)) {
                code = kZErr_memAllocationFailed;
            } else {
                std::memcpy(buf.data(), text, size);
                code = loadStages(path ? path : "", std::move(buf), size, writeCorrected);
            }
        }
    } catch (const std::exception&) {
        code = kZErr_memAllocationFailed;
    }
    _isValid = code == kZErr_OK;
    if (!_isValid) fail(code, path, __LINE__);
    return code;
}

int ZelkCsv::loadStages(const char* path, Block buf, size_t size, bool writeCorrected, bool nulChecked) {
    char* const text = static_cast<char*>(buf.data());
    // A NUL byte would end every text at it: such a file is no CSV log.
    if (!nulChecked && std::memchr(text, '\0', size)) return kZErr_invalidFormat;

    uint64_t fixes = 0;
    std::vector<char> lostComma;
    zcsv::LineIndex index;
    const size_t len = zcsv::normaliseText(text, size, fixes, &lostComma, &index);
    if (fixes > 256 && writeCorrected) {
        // Beside the input, its extension replaced; a name without one gets no copy.
        const std::string p(path);
        const size_t slash = p.rfind('/');
        const size_t dot = p.rfind('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
            pf::file::ReplacingWrite out(p.substr(0, dot) + "_processed.csv");
            if (out.status() == pf::file::ReplacingWrite::Status::ok && out.write(text, len)) out.commit();
        }
    }
    stage("format arrange");

    // Lines and their widths: a line narrower than a wider one above it is refused.
    // (The normalising pass found the lines and counted their cells.)
    const std::vector<size_t>& lineStart = index.start;
    const std::vector<uint32_t>& lineFields = index.fields;
    const size_t lines = lineStart.size();
    size_t width = 0;
    for (size_t i = 0; i < lines; ++i) {
        const size_t fields = lineFields[i];
        // A line whose last cell was empty lost that cell with its comma; it stays
        // as wide as it was written, the cell reading as empty.
        const size_t counted = fields + (fields + 1 == width && lostComma[i] ? 1 : 0);
        if (counted < width) return kZErr_invalidFormat;
        width = std::max(width, counted);
    }
    if (lines == 0) return kZErr_invalidFormat;
    // The cells of a line, not yet cut, from its k-th on: f(begin, end) until it returns true.
    auto forCells = [&](size_t i, size_t k, auto&& f) {
        const char* p = text + lineStart[i];
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', len - lineStart[i]));
        for (size_t j = 0; p <= lineEnd; ++j) {
            const void* comma = std::memchr(p, ',', static_cast<size_t>(lineEnd - p));
            const char* end = comma ? static_cast<const char*>(comma) : lineEnd;
            if (j >= k && f(p, end)) return true;
            p = end + 1;
        }
        return false;
    };
    auto cellHas = [](const char* b, const char* e, std::string_view word, bool anyCase) {
        const size_t n = static_cast<size_t>(e - b);
        if (anyCase) return findNoCase(b, n, word) != std::string_view::npos;
        return std::string_view(b, n).find(word) != std::string_view::npos;
    };
    stage("parse data");

    // Anchor: the first cell, line by line and left to right, naming a serial
    // number, a spec item or a GR&R configuration.
    size_t anchorLine = lines, anchorCol = 0;
    bool grr = false;
    for (size_t i = 0; i < lines && anchorLine == lines; ++i) {
        size_t k = 0;
        forCells(i, 0, [&](const char* b, const char* e) {
            const bool g = cellHas(b, e, "grrconfig", true);
            if (g || cellHas(b, e, "serialnumber", true) || cellHas(b, e, "specitem", true)) {
                anchorLine = i;
                anchorCol = k;
                grr = g;
                return true;
            }
            ++k;
            return false;
        });
    }
    if (anchorLine == lines) return kZErr_invalidFormat;
    if (grr) _csvType = 1;

    // Layout: arrows beside the anchor make it transposed, arrows below it normal.
    const auto arrow = [&](const char* b, const char* e) { return cellHas(b, e, "-->", false); };
    bool transposed = forCells(anchorLine, anchorCol, arrow), normal = false;
    for (size_t i = anchorLine; i < lines && !transposed && !normal; ++i) {
        if (anchorCol >= lineFields[i]) continue;
        forCells(i, anchorCol, [&](const char* b, const char* e) { return normal = arrow(b, e), true; });
    }
    if (!transposed && !normal) return kZErr_invalidFormat;
    stage("find anchor");

    // The table straight from the text, cut in place as it is read: commas and
    // line ends become terminators, and each cell's value is read once.
    resetParams();
    const size_t fileCols = width - anchorCol, fileLines = lines - anchorLine;
    const size_t rows = transposed ? fileCols : fileLines, cols = transposed ? fileLines : fileCols;
    if (rows > static_cast<size_t>(INT32_MAX) || cols > static_cast<size_t>(INT32_MAX)) return kZErr_memAllocationFailed;
    const size_t cellCount = rows * cols;
    if (cols != 0 && cellCount / cols != rows) return kZErr_memAllocationFailed;
    if (!_memoryPool.allocate(cellCount * (sizeof(const char*) + sizeof(double)))) return kZErr_memAllocationFailed;
    const char** const cells = static_cast<const char**>(_memoryPool.data());
    double* const values = reinterpret_cast<double*>(cells + cellCount);
    _sRows.resize(rows);
    _dRows.resize(rows);
    for (size_t r = 0; r < rows; ++r) {
        _sRows[r] = cells + r * cols;
        _dRows[r] = values + r * cols;
    }
    const size_t stepCell = transposed ? cols : 1;
    auto build = [&, cells, values](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            char* c = text + lineStart[i];
            const bool inTable = i >= anchorLine;
            size_t at = !inTable ? 0 : transposed ? i - anchorLine : (i - anchorLine) * cols;
            for (size_t k = 0;; ++k) {
                char* end;
                if (inTable && k >= anchorCol) {
                    double v;
                    bool last;
                    end = zcsv::cutCell(c, v, last);
                    cells[at] = c;
                    values[at] = v;
                    at += stepCell;
                    if (last) break;
                } else {
                    end = c + std::strcspn(c, ",\n");
                    const bool last = *end == '\n';
                    *end = '\0';
                    if (last) break;
                }
                c = end + 1;
            }
            // Cells the line does not have read as the empty text without a value.
            for (size_t k = std::max<size_t>(lineFields[i], anchorCol); inTable && k < width; ++k, at += stepCell) {
                cells[at] = kEmpty;
                values[at] = kZelk_noValue;
            }
        }
    };
    // Lines own disjoint cells, so a large file is cut by a few threads at once.
    const size_t threads = lines < 20000 ? 1 : std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
    std::vector<std::thread> workers;
    try {
        for (size_t t = 1; t < threads; ++t) workers.emplace_back(build, lines * t / threads, lines * (t + 1) / threads);
    } catch (const std::exception&) {
        // No thread to be had: this one cuts what the others would have.
        for (size_t t = workers.size() + 1; t < threads; ++t) build(lines * t / threads, lines * (t + 1) / threads);
    }
    build(0, lines / threads);
    for (auto& w : workers) w.join();
    _rows = static_cast<int>(rows);
    _cols = static_cast<int>(cols);
    _rowIdx_title = 0;
    _fileStrBuff = std::move(buf);
    _fileStrBuffSize = size;

    searchMarkers();
    parseColumnItems();
    stage("header searching");
    int code = removeDuplicatedTest();
    stage("remove duplicated test");
    if (code == kZErr_OK) {
        // The two category passes read the same rows and write arrays of their own:
        // a large table runs them side by side.
        // Time order and final view are the same for both: made once.
        TimeOrder order;
        timeOrder(order);
        int configCode = kZErr_OK;
        std::thread configPass;
        if (_dataCnt >= 20000) {
            try {
                configPass = std::thread([&] {
                    try {
                        configCode = parseCategoryInfo_catColIdx(_colIdx_config, order, _config);
                    } catch (const std::exception&) {
                        configCode = kZErr_memAllocationFailed;
                    }
                });
            } catch (const std::exception&) {
            }
        }
        if (!configPass.joinable()) configCode = parseCategoryInfo_catColIdx(_colIdx_config, order, _config);
        stage("get config info");
        // Caught here, not by the loader: leaving with the configuration pass still
        // running (and reading `order`) would end the program.
        try {
            code = parseCategoryInfo_catColIdx(_colIdx_TesterID, order, _tester);
        } catch (const std::exception&) {
            code = kZErr_memAllocationFailed;
        }
        if (configPass.joinable()) configPass.join();
        if (code == kZErr_OK) code = configCode;
        stage("get tester info");
    }
    if (code != kZErr_OK) return code;

    _memoryPoolSize = _memoryPool.size() +
                      rows * (sizeof(tCsv_strRow) + sizeof(tCsv_datRow)) * 5 +
                      cols * sizeof(tCsv_columnItemInfo) +
                      (_config.info.size() + _tester.info.size()) * sizeof(tCsv_categoryDataInfo);
    _filePathName = path;
    std::printf("[ZelkCsv::done: %.3f sec]\n\n", g_clock.total());
    std::printf("file buffer size = %10.3f MB\nmemory pool size = %10.3f MB\n--------------------------------\n"
                "total memory     = %10.3f MB\n",
                static_cast<double>(_fileStrBuffSize) / 1048576.0, static_cast<double>(_memoryPoolSize) / 1048576.0,
                static_cast<double>(_fileStrBuffSize + _memoryPoolSize) / 1048576.0);
    return kZErr_OK;
}

void ZelkCsv::searchMarkers() {
    static const char* const kMarkers[] = {"Upper Limit----->", "Lower Limit----->", "Upper ERS----->",
                                           "Lower ERS----->",   "Unit----->",        "GRR Stdev----->",
                                           "GRR Limit----->"};
    int* const index[] = {&_rowIdx_limit_upper, &_rowIdx_limit_lower, &_rowIdx_ers_upper, &_rowIdx_ers_lower,
                          &_rowIdx_unit,        &_rowIdx_grrStdev,    &_rowIdx_grrLimit};
    // Each marker is the first row from `next` on with its text, swapped to `next`.
    // Only rows whose text begins as a marker's does can be one: they are found in
    // one pass, and the search for each marker (an absent one searched every row)
    // runs over them alone. `cand` holds their places, ascending, as rows move.
    std::vector<int> cand;
    for (int r = 1; r < _rows; ++r) {
        const char c = _sRows[r][0][0];
        if (c == 'U' || c == 'L' || c == 'G') cand.push_back(r);
    }
    int next = 1;
    for (size_t m = 0; m < 7; ++m) {
        for (size_t k = 0; k < cand.size(); ++k) {
            const int r = cand[k];
            if (r < next || std::strcmp(_sRows[r][0], kMarkers[m]) != 0) continue;
            swapRows(_sRows.data(), _dRows.data(), static_cast<size_t>(r), static_cast<size_t>(next));
            // The row that was at `next` is at r now: a candidate stays one at its new place.
            if (!std::binary_search(cand.begin(), cand.end(), next)) {
                cand.erase(cand.begin() + static_cast<long>(k));
                cand.insert(std::lower_bound(cand.begin(), cand.end(), next), next);
            }
            *index[m] = next++;
            break;
        }
    }
    _dataRowStartIdx = next;
    _dataCnt_total = _dataCnt = _rows - next;
}

void ZelkCsv::parseColumnItems() {
    const size_t cols = static_cast<size_t>(_cols);
    _columnItem.assign(cols, tCsv_columnItemInfo{});
    auto text = [&](int row, size_t c) { return row >= 0 ? _sRows[row][c] : kEmpty; };
    auto value = [&](int row, size_t c, bool limit) {
        if (row < 0) return kZelk_noValue;
        const double v = _dRows[row][c];
        // The station writes a limit declared without a value as "-0.000000".
        if (limit && v == 0.0 && std::signbit(v)) return kZelk_noValue;
        return v;
    };
    std::vector<char> regular(cols, 0);
    for (size_t c = 0; c < cols; ++c) {
        tCsv_columnItemInfo& it = _columnItem[c];
        it.title = _sRows[0][c];
        it.isParametric = false;
        it.limit_upper = it.limit_lower = it.ers_upper = it.ers_lower = it.grr_stdev = it.grr_limit = kZelk_noValue;
        it.limit_upper_text = text(_rowIdx_limit_upper, c);
        it.limit_lower_text = text(_rowIdx_limit_lower, c);
        it.ers_upper_text = text(_rowIdx_ers_upper, c);
        it.ers_lower_text = text(_rowIdx_ers_lower, c);
        it.unit_text = text(_rowIdx_unit, c);
        it.grr_stdev_text = text(_rowIdx_grrStdev, c);
        it.grr_limit_text = text(_rowIdx_grrLimit, c);
        const int ci = static_cast<int>(c);
        if (_colIdx_errCode < 0 && std::strcmp(it.title, "errCode") == 0) {
            _colIdx_errCode = ci;
        } else if (_colIdx_timeStamp < 0 && std::strcmp(it.title, "timeStamp") == 0) {
            _colIdx_timeStamp = ci;
        } else if (_colIdx_config < 0 && (equalsNoCase(it.title, "config") || equalsNoCase(it.title, "NERRA_CONFIG"))) {
            _colIdx_config = ci;
        } else if (_colIdx_TesterID < 0 &&
                   (equalsNoCase(it.title, "TesterID") || equalsNoCase(it.title, "Station ID"))) {
            _colIdx_TesterID = ci;
        } else {
            regular[c] = 1;
            it.limit_upper = value(_rowIdx_limit_upper, c, true);
            it.limit_lower = value(_rowIdx_limit_lower, c, true);
            it.ers_upper = value(_rowIdx_ers_upper, c, true);
            it.ers_lower = value(_rowIdx_ers_lower, c, true);
            it.grr_stdev = value(_rowIdx_grrStdev, c, false);
            it.grr_limit = value(_rowIdx_grrLimit, c, false);
        }
    }
    // Parametric: every data cell numeric and one at least with a value; one
    // pass over the rows in memory order.
    // A large table is read in parts side by side, each with flags of its own.
    const size_t dataRows = static_cast<size_t>(_rows - _dataRowStartIdx);
    const size_t parts = partCount(dataRows);
    std::vector<char> flags(2 * cols * parts, 0);
    inParts(dataRows, [&](size_t part, size_t from, size_t to) {
        char* const notNumeric = flags.data() + 2 * cols * part;
        char* const hasValue = notNumeric + cols;
        for (size_t r = from + static_cast<size_t>(_dataRowStartIdx), end = to + static_cast<size_t>(_dataRowStartIdx);
             r < end; ++r) {
            const tCsv_strRow s = _sRows[r];
            const tCsv_datRow d = _dRows[r];
            for (size_t c = 0; c < cols; ++c) {
                if (d[c] != kZelk_noValue)
                    hasValue[c] = 1;
                else if (!notNumeric[c] && !zcsv::cellIsNumeric(s[c]))
                    notNumeric[c] = 1;
            }
        }
    });
    std::vector<char> notNumeric(cols, 0), hasValue(cols, 0);
    for (size_t k = 0; k < parts; ++k)
        for (size_t c = 0; c < cols; ++c) {
            notNumeric[c] |= flags[2 * cols * k + c];
            hasValue[c] |= flags[2 * cols * k + cols + c];
        }
    for (size_t c = 0; c < cols; ++c) _columnItem[c].isParametric = regular[c] && !notNumeric[c] && hasValue[c];
}

int ZelkCsv::removeDuplicatedTest() {
    if (_colIdx_timeStamp < 0 || _dataCnt < 2) return kZErr_OK;
    tCsv_strRow* s = dataStr();
    tCsv_datRow* d = dataDat();
    const size_t n = static_cast<size_t>(_dataCnt);
    const size_t ts = static_cast<size_t>(_colIdx_timeStamp);
    const int tc = _colIdx_TesterID;
    // A test is the same test when serial, stamp and tester agree (letter case
    // aside); one hash per row instead of comparing every pair.
    auto stampBits = [&](size_t i) {
        double v = d[i][ts];
        if (v == 0.0) v = 0.0;  // -0 and 0 are one stamp
        uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        return b;
    };
    auto hash = [&](uint32_t i) {
        uint64_t h = hashNoCase(s[i][0], 1469598103934665603ull);
        h = (h ^ stampBits(i)) * 1099511628211ull;
        if (tc >= 0) h = hashNoCase(s[i][tc], h);
        return h;
    };
    auto same = [&](uint32_t a, uint32_t b) {
        return d[a][ts] == d[b][ts] && equalsNoCase(s[a][0], s[b][0]) && (tc < 0 || equalsNoCase(s[a][tc], s[b][tc]));
    };
    RowSet<decltype(hash), decltype(same)> seen(n, hash, same);
    std::vector<char> stamped(n);  // noted while the row is at hand
    const std::vector<uint64_t> hashes = rowHashes(
        n,
        [&](size_t i) {
            stamped[i] = d[i][ts] != kZelk_noValue;
            return hash(static_cast<uint32_t>(i));
        },
        [&](size_t i) {
            __builtin_prefetch(s[i]);
            if (tc >= 0) __builtin_prefetch(s[i] + tc);
            __builtin_prefetch(d[i] + ts);
        },
        [&](size_t i) {
            __builtin_prefetch(s[i][0]);
            if (tc >= 0) __builtin_prefetch(s[i][tc]);
        });
    std::vector<tCsv_strRow> keptS, goneS;
    std::vector<tCsv_datRow> keptD, goneD;
    keptS.reserve(n);
    keptD.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        if (i + 8 < n) seen.prefetch(hashes[i + 8]);
        // A row without a stamp value cannot be told from a retest: it always stays.
        if (!stamped[i] || seen.insertHashed(static_cast<uint32_t>(i), hashes[i]) == i) {
            keptS.push_back(s[i]);
            keptD.push_back(d[i]);
        } else {
            goneS.push_back(s[i]);
            goneD.push_back(d[i]);
        }
    }
    if (goneS.empty()) return kZErr_OK;
    // The removed rows stay just past the new end, the latest removal first.
    std::copy(keptS.begin(), keptS.end(), s);
    std::copy(keptD.begin(), keptD.end(), d);
    std::copy(goneS.rbegin(), goneS.rend(), s + keptS.size());
    std::copy(goneD.rbegin(), goneD.rend(), d + keptD.size());
    _dataCnt = static_cast<long>(keptS.size());
    return kZErr_OK;
}

void ZelkCsv::timeOrder(TimeOrder& t) const {
    const size_t n = static_cast<size_t>(_dataCnt);
    t.str.assign(dataStr(), dataStr() + n);
    t.dat.assign(dataDat(), dataDat() + n);

    // Time order, equal stamps keeping their order.
    const auto byStamp = [ts = static_cast<size_t>(_colIdx_timeStamp)](tCsv_datRow a, tCsv_datRow b) {
        return a[ts] < b[ts];
    };
    if (_colIdx_timeStamp >= 0 && n > 1 && !std::is_sorted(t.dat.begin(), t.dat.end(), byStamp)) {
        const size_t ts = static_cast<size_t>(_colIdx_timeStamp);
        std::vector<uint32_t> order(n);
        for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return t.dat[a][ts] < t.dat[b][ts]; });
        std::vector<tCsv_strRow> s(n);
        std::vector<tCsv_datRow> d(n);
        for (size_t i = 0; i < n; ++i) {
            s[i] = t.str[order[i]];
            d[i] = t.dat[order[i]];
        }
        t.str.swap(s);
        t.dat.swap(d);
    }

    // Final view: a row stays when it is the last of its exact serial number.
    std::vector<char> last(n, 0);
    {
        auto hash = [&](uint32_t i) { return hashExact(t.str[i][0]); };
        auto same = [&](uint32_t a, uint32_t b) { return std::strcmp(t.str[a][0], t.str[b][0]) == 0; };
        RowSet<decltype(hash), decltype(same)> seen(n, hash, same);
        const std::vector<uint64_t> hashes = rowHashes(
            n, [&](size_t i) { return hash(static_cast<uint32_t>(i)); }, [&](size_t i) { __builtin_prefetch(t.str[i]); },
            [&](size_t i) { __builtin_prefetch(t.str[i][0]); });
        for (size_t i = n; i-- > 0;) {
            if (i >= 8) seen.prefetch(hashes[i - 8]);
            last[i] = seen.insertHashed(static_cast<uint32_t>(i), hashes[i]) == i;
        }
    }
    t.finalOf.clear();
    t.finalOf.reserve(n);
    for (size_t i = 0; i < n; ++i)
        if (last[i]) t.finalOf.push_back(i);
}

int ZelkCsv::parseCategoryInfo_catColIdx(int catColIdx, const TimeOrder& t, Categories& out) {
    const size_t n = t.str.size();
    out.str = t.str;
    out.dat = t.dat;
    const std::vector<size_t>& finalOf = t.finalOf;  // data row of each final row
    out.strFinal.resize(finalOf.size());
    out.datFinal.resize(finalOf.size());
    for (size_t f = 0; f < finalOf.size(); ++f) {
        out.strFinal[f] = out.str[finalOf[f]];
        out.datFinal[f] = out.dat[finalOf[f]];
    }
    const size_t nFinal = out.strFinal.size();

    out.info.clear();
    out.info.push_back(tCsv_categoryDataInfo{kAll, n, out.str.data(), out.dat.data(), nFinal, out.strFinal.data(),
                                             out.datFinal.data()});
    if (catColIdx < 0) {
        out.count = 1;
        return kZErr_OK;
    }

    // Categories in order of first appearance in time order; rows grouped by a
    // stable counting pass, so each category keeps its time order.
    const size_t cc = static_cast<size_t>(catColIdx);
    auto hash = [&](uint32_t i) { return hashExact(t.str[i][cc]); };
    auto same = [&](uint32_t a, uint32_t b) { return std::strcmp(t.str[a][cc], t.str[b][cc]) == 0; };
    RowSet<decltype(hash), decltype(same)> index(n, hash, same);
    std::vector<uint32_t> catOf(n);
    std::vector<size_t> count, countFinal;
    std::vector<const char*> names;
    for (size_t i = 0; i < n; ++i) {
        // Nearly every row finds its category and compares texts: its cell is
        // fetched a few rows ahead (see rowHashes).
        if (i + 16 < n) __builtin_prefetch(t.str[i + 16] + cc);
        if (i + 8 < n) __builtin_prefetch(t.str[i + 8][cc]);
        const uint32_t first = index.insert(static_cast<uint32_t>(i));
        if (first == i) {
            catOf[i] = static_cast<uint32_t>(names.size());
            names.push_back(t.str[i][cc]);
            count.push_back(0);
            countFinal.push_back(0);
        } else {
            catOf[i] = catOf[first];
        }
        ++count[catOf[i]];
    }
    for (size_t f = 0; f < nFinal; ++f) ++countFinal[catOf[finalOf[f]]];
    const size_t cats = names.size();
    std::vector<size_t> at(cats), atFinal(cats);
    for (size_t k = 0, p = 0, q = 0; k < cats; ++k) {
        at[k] = p;
        atFinal[k] = q;
        p += count[k];
        q += countFinal[k];
    }
    {
        // Grouped straight from the shared time order into this pass's arrays.
        std::vector<size_t> put(at), putFinal(atFinal);
        for (size_t i = 0; i < n; ++i) {
            const size_t p = put[catOf[i]]++;
            out.str[p] = t.str[i];
            out.dat[p] = t.dat[i];
        }
        for (size_t f = 0; f < nFinal; ++f) {
            const size_t p = putFinal[catOf[finalOf[f]]]++;
            out.strFinal[p] = t.str[finalOf[f]];
            out.datFinal[p] = t.dat[finalOf[f]];
        }
    }
    for (size_t k = 0; k < cats; ++k)
        out.info.push_back(tCsv_categoryDataInfo{names[k], count[k], out.str.data() + at[k], out.dat.data() + at[k],
                                                 countFinal[k], out.strFinal.data() + atFinal[k],
                                                 out.datFinal.data() + atFinal[k]});
    out.count = static_cast<int>(out.info.size());
    return kZErr_OK;
}

void ZelkCsv::printData(const char* path) const {
    // Only the dump's own earlier output is cleared; no shell is started for it.
    std::remove("test_final.csv");
    FILE* fp = std::fopen(path ? path : "test_csv.csv", "w");
    if (_rows <= 0 || _cols <= 0) {
        if (fp) std::fclose(fp);
        return;
    }
    auto emit = [&](const std::string& line) {
        if (fp) std::fputs(line.c_str(), fp);
        std::fputs(line.c_str(), stdout);
    };
    const size_t cols = static_cast<size_t>(_cols);
    std::string line;
    for (size_t c = 0; c < cols; ++c) line += std::string(c ? "," : "") + (_columnItem[c].isParametric ? "data" : "str");
    emit(line + "\n");
    auto rowLine = [&](int r, bool values) {
        std::string l;
        for (size_t c = 0; c < cols; ++c) {
            if (c) l += ',';
            const double v = _dRows[r][c];
            if (values && v != kZelk_noValue)
                l += pf::number::text("%lf", v);
            else
                l += _sRows[r][c];
        }
        emit(l + "\n");
    };
    rowLine(0, false);
    for (int r : {_rowIdx_limit_upper, _rowIdx_limit_lower, _rowIdx_ers_upper, _rowIdx_ers_lower, _rowIdx_unit})
        if (r >= 0) rowLine(r, r != _rowIdx_unit);
    for (int r = _dataRowStartIdx; r < _dataRowStartIdx + _dataCnt; ++r) rowLine(r, false);
    if (fp) std::fclose(fp);
}

// ----------------------------------------------------------------------------- opening and merging

namespace {

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    // A bare name lies in the working folder, not at the root.
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

void mergeReport(int code, int line) {
    ZERR_Report(nullptr, __FILE__, "mergeCsv_fileCount", line, code);
}

}  // namespace

int ZelkCsv::mergeCsv_fileCount(int count, const char* const* paths, bool commonOnly, const char* outPath) {
    bool argsOk = count >= 2 && count <= 128 && paths && outPath;
    for (int i = 0; argsOk && i < count; ++i) argsOk = paths[i] != nullptr;
    if (!argsOk) {
        std::printf("[ERR] invalid param\n");
        mergeReport(kZErr_invalidParam, __LINE__);
        return kZErr_invalidParam;
    }
    g_clock.begin();
    int code = kZErr_OK;
    std::vector<std::shared_ptr<ZelkCsv>> tables;
    try {
        for (int i = 0; i < count && code == kZErr_OK; ++i) {
            std::printf("%3d: %s\n", i, paths[i]);
            struct stat st {};
            if (::stat(paths[i], &st) != 0) {
                code = kZErr_fileNotExist;
                mergeReport(code, __LINE__);
                break;
            }
            std::shared_ptr<ZelkCsv> t = initWithCsvFile_filePathName(paths[i], false);
            if (!t) {
                code = kZErr_objectCreationFailed;
                mergeReport(code, __LINE__);
                break;
            }
            // A file that failed to load (its alert raised) adds no titles and no rows.
            if (t->isValid()) tables.push_back(std::move(t));
        }
        if (code == kZErr_OK && tables.empty()) {
            code = kZErr_invalidFormat;
            mergeReport(code, __LINE__);
        }

        long total = 0, printed = 0;
        if (code == kZErr_OK) {
            for (const auto& t : tables) total += t->_dataCnt;

            // Titles, from the first table that loaded.
            const ZelkCsv& first = *tables.front();
            std::vector<std::string_view> titles;
            for (int c = 0; c < first._cols; ++c) titles.emplace_back(first._columnItem[c].title);
            if (commonOnly) {
                // The titles every table has, in the first table's order.
                for (size_t k = 1; k < tables.size(); ++k) {
                    std::unordered_set<std::string_view> has;
                    for (int c = 0; c < tables[k]->_cols; ++c) has.insert(tables[k]->_columnItem[c].title);
                    titles.erase(std::remove_if(titles.begin(), titles.end(),
                                                [&](std::string_view t) { return !has.count(t); }),
                                 titles.end());
                }
            } else {
                std::unordered_set<std::string_view> held(titles.begin(), titles.end());
                for (size_t k = 1; k < tables.size(); ++k) {
                    const ZelkCsv& t = *tables[k];
                    for (int c = 0; c < t._cols; ++c) {
                        const std::string_view title = t._columnItem[c].title;
                        if (held.count(title)) continue;
                        // Where the list first parts from this table's own order.
                        size_t p = 0;
                        while (p < titles.size() && p < static_cast<size_t>(t._cols) &&
                               titles[p] == std::string_view(t._columnItem[p].title))
                            ++p;
                        titles.insert(titles.begin() + static_cast<std::ptrdiff_t>(p), title);
                        held.insert(title);
                    }
                }
            }

            // Each table's first column of each title, found once per table.
            std::vector<std::vector<int>> colOf(tables.size(), std::vector<int>(titles.size(), -1));
            for (size_t k = 0; k < tables.size(); ++k) {
                std::unordered_map<std::string_view, int> firstCol;
                for (int c = tables[k]->_cols; c-- > 0;) firstCol[tables[k]->_columnItem[c].title] = c;
                for (size_t j = 0; j < titles.size(); ++j) {
                    const auto it = firstCol.find(titles[j]);
                    if (it != firstCol.end()) colOf[k][j] = it->second;
                }
            }

            struct stat ost {};
            const bool isFolder = ::stat(outPath, &ost) == 0 && S_ISDIR(ost.st_mode);
            pf::file::ReplacingWrite out(outPath);
            if (isFolder || out.status() != pf::file::ReplacingWrite::Status::ok) {
                code = kZErr_fileOpenFailed;
                mergeReport(code, __LINE__);
            } else {
                std::string line;
                auto emit = [&](bool data) {
                    line += '\n';
                    out.write(line.data(), line.size());
                    printed += data;
                    line.clear();
                };
                for (size_t j = 0; j < titles.size(); ++j) {
                    if (j) line += ',';
                    line += titles[j];
                }
                emit(false);

                // Marker lines: each title's text from the first table that has
                // the marker row and a column of that title.
                struct Marker {
                    const char* name;
                    int ZelkCsv::*row;
                    const char* tCsv_columnItemInfo::*text;
                };
                static const Marker kMarkers[] = {
                    {"Upper Limit----->", &ZelkCsv::_rowIdx_limit_upper, &tCsv_columnItemInfo::limit_upper_text},
                    {"Lower Limit----->", &ZelkCsv::_rowIdx_limit_lower, &tCsv_columnItemInfo::limit_lower_text},
                    {"Upper ERS----->", &ZelkCsv::_rowIdx_ers_upper, &tCsv_columnItemInfo::ers_upper_text},
                    {"Lower ERS----->", &ZelkCsv::_rowIdx_ers_lower, &tCsv_columnItemInfo::ers_lower_text},
                    {"Unit----->", &ZelkCsv::_rowIdx_unit, &tCsv_columnItemInfo::unit_text},
                };
                for (const Marker& m : kMarkers) {
                    bool any = false;
                    for (const auto& t : tables) any = any || t.get()->*m.row >= 0;
                    if (!any) continue;
                    bool filled = false;
                    for (size_t j = 0; j < titles.size(); ++j) {
                        const char* text = "";
                        for (size_t k = 0; k < tables.size(); ++k) {
                            if (tables[k].get()->*m.row < 0 || colOf[k][j] < 0) continue;
                            text = tables[k]->_columnItem[colOf[k][j]].*m.text;
                            break;
                        }
                        if (j) line += ',';
                        line += text;
                        filled = filled || (*text && std::strcmp(text, m.name) != 0);
                    }
                    if (!filled && std::strcmp(m.name, "Unit----->") == 0) {
                        line.clear();  // a unit line without units is left out
                        continue;
                    }
                    emit(false);
                }

                for (size_t k = 0; k < tables.size(); ++k) {
                    const ZelkCsv& t = *tables[k];
                    tCsv_strRow* rows = t.dataStr();
                    for (long r = 0; r < t._dataCnt; ++r) {
                        for (size_t j = 0; j < titles.size(); ++j) {
                            if (j) line += ',';
                            line += colOf[k][j] >= 0 ? rows[r][colOf[k][j]] : "NA";
                        }
                        emit(true);
                    }
                }
                if (out.status() != pf::file::ReplacingWrite::Status::ok ||
                    out.commit() != pf::file::ReplacingWrite::Status::ok) {
                    code = kZErr_fileWriteFailed;
                    mergeReport(code, __LINE__);
                }
            }
        }
        if (code == kZErr_OK) std::printf("total=%ld, printed=%ld\n", total, printed);
    } catch (const std::exception&) {
        code = kZErr_memAllocationFailed;
        mergeReport(code, __LINE__);
    }
    tables.clear();
    std::printf("[%s::done: %.3f sec]\n\n", "mergeCsv_fileCount", g_clock.total());
    return code;
}

std::shared_ptr<ZelkCsv> ZelkCsv::openCsvFile(const char* const* paths, size_t count) {
    try {
        return openChecked(paths, count);
    } catch (const std::exception&) {
        return nullptr;  // no memory for a path's text: nothing is opened
    }
}

std::shared_ptr<ZelkCsv> ZelkCsv::openChecked(const char* const* paths, size_t count) {
    if (!paths || count == 0) return nullptr;
    if (count == 1) return initWithCsvFile_filePathName(paths[0], false);
    for (size_t i = 0; i < count; ++i)
        if (!paths[i]) return nullptr;
    const std::string firstFolder = folderOf(paths[0]);
    for (size_t i = 0; i < count; ++i) {
        const std::string p = paths[i];
        std::string text;
        const char* title = "CSV File Drop Error";
        const size_t dot = p.rfind('.');
        const std::string ext = dot == std::string::npos ? std::string() : p.substr(dot + 1);
        if (findNoCase(p.data(), p.size(), "_csv_file_merged_") != std::string_view::npos) {
            title = "Invalid CSV File";
            text = "the input file is merged file\nfile name: " + p;
        } else if (!equalsNoCase(ext.c_str(), "csv")) {
            text = "the input contains non-csv file\nfile name: " + p;
        } else if (folderOf(p) != firstFolder) {
            text = "csv files from multiple path\n" + firstFolder + "\n" + folderOf(p);
        }
        if (!text.empty()) {
            ZelkAlert_show(title, text.c_str());
            return nullptr;
        }
    }
    std::lock_guard<std::mutex> lock(_mtxCsvMrg);
    const std::string merged = firstFolder + "/_CSV_FILE_MERGED_.csv";
    std::remove(merged.c_str());
    if (mergeCsv_fileCount(static_cast<int>(std::min<size_t>(count, 129)), paths, true, merged.c_str()) != kZErr_OK)
        return nullptr;
    return initWithCsvFile_filePathName(merged.c_str(), false);
}

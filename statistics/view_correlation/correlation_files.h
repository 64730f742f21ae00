// The correlation files of two loaded tables: the items and the serial numbers
// the two have in common, written for each input in input 0's order, so that
// the two files read back as station logs with the same rows and columns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class ZelkCsv;

// Indexes by text with ASCII letter case ignored: one flat table probed
// linearly, the texts left where they are. A million serial numbers are then
// a pass over them, not a million allocated nodes. The first of equal texts wins.
class tCorr_noCaseIndex {
public:
    // Texts 0 to n - 1, `textOf(i)` each (null reads as empty).
    template <class F>
    void build(size_t n, F textOf) {
        size_t cap = 16;
        while (cap < 2 * n) cap *= 2;
        _mask = cap - 1;
        _slots.assign(cap, Slot{});
        _texts.resize(n);
        _firstOf.resize(n);
        // The hashes first, in one pass over the texts; then the slots, each
        // fetched a few texts ahead: they lie far apart, a cache miss each.
        std::vector<uint64_t> hashes(n);
        for (size_t i = 0; i < n; ++i) {
            const char* t = textOf(i);
            _texts[i] = t ? t : "";
            hashes[i] = hash(_texts[i]);
        }
        constexpr size_t kAhead = 16;
        for (size_t i = 0; i < n; ++i) {
            if (i + kAhead < n) __builtin_prefetch(&_slots[hashes[i + kAhead] & _mask]);
            const uint64_t h = hashes[i];
            for (size_t at = h & _mask;; at = (at + 1) & _mask) {
                Slot& s = _slots[at];
                if (s.index == 0) {
                    s = {static_cast<uint32_t>(h >> 32), static_cast<uint32_t>(i + 1)};
                    _firstOf[i] = i;
                    break;
                }
                if (s.check == static_cast<uint32_t>(h >> 32) && same(_texts[s.index - 1], _texts[i])) {
                    _firstOf[i] = s.index - 1;
                    break;
                }
            }
        }
    }
    // The index of the text equal to `text`, or -1. `near` is where it is
    // likely to be (two tables in one order): looked at first, no probing.
    long find(const char* text, size_t near = SIZE_MAX) const {
        if (_slots.empty()) return -1;
        if (!text) text = "";
        if (near < _texts.size() && same(_texts[near], text)) return long(_firstOf[near]);
        const uint64_t h = hash(text);
        for (size_t at = h & _mask;; at = (at + 1) & _mask) {
            const Slot& s = _slots[at];
            if (s.index == 0) return -1;
            if (s.check == static_cast<uint32_t>(h >> 32) && same(_texts[s.index - 1], text)) return long(s.index) - 1;
        }
    }

private:
    struct Slot {
        uint32_t check = 0, index = 0;  // index + 1; 0: empty
    };
    static char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
    static uint64_t hash(const char* t) {
        uint64_t h = 1469598103934665603ull;
        for (; *t; ++t) h = (h ^ static_cast<uint8_t>(lower(*t))) * 1099511628211ull;
        // The low bits pick the slot: mix the high ones in.
        return h ^ (h >> 29) ^ (h << 17);
    }
    static bool same(const char* a, const char* b) {
        for (; *a && lower(*a) == lower(*b); ++a, ++b) {
        }
        return lower(*a) == lower(*b);
    }

    size_t _mask = 0;
    std::vector<Slot> _slots;
    std::vector<const char*> _texts;
    std::vector<size_t> _firstOf;
};

struct tCorr_common {
    // Columns of each item in input 0 and in input 1.
    std::vector<int> column[2];
    // Final rows ("ALL") of each serial number in input 0 and in input 1.
    std::vector<size_t> row[2];
};

// Parametric items whose titles match, and final rows whose serial numbers
// match, both ignoring case and in input 0's order. A title or serial number
// that input 1 holds twice pairs with its first column or row.
tCorr_common correlation_common(const ZelkCsv& input0, const ZelkCsv& input1);

// The text of correlation file `g` (0 or 1): titles, upper and lower limits,
// then one row per common serial number; every cell ends in ",".
std::string correlation_fileText(const ZelkCsv& input0, const ZelkCsv& input1, const tCorr_common& common, int g);

// "<folder of path>/_CSV_FILE_CORREL_<g>.csv".
std::string correlation_filePath(const std::string& inputPath, int g);

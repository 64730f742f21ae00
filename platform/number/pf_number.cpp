// The C locale is made current for this thread only and only around the call:
// the process locale (the user's, in a GUI program) is never touched.
#include "pf_number.h"

#include <locale.h>

#include <cstdlib>

namespace pf::number {

namespace {

locale_t cLocale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

class CNumbers {
public:
    CNumbers() : previous_(uselocale(cLocale())) {}
    ~CNumbers() { uselocale(previous_); }
    CNumbers(const CNumbers&) = delete;
    CNumbers& operator=(const CNumbers&) = delete;

private:
    locale_t previous_;
};

}  // namespace

int vformat(char* buf, size_t size, const char* fmt, va_list ap) {
    CNumbers c;
    return std::vsnprintf(buf, size, fmt, ap);
}

int format(char* buf, size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = vformat(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

std::string vtext(const char* fmt, va_list ap) {
    char small[256];
    va_list again;
    va_copy(again, ap);
    const int n = vformat(small, sizeof(small), fmt, ap);
    if (n < 0) {
        va_end(again);
        return std::string();
    }
    if (static_cast<size_t>(n) < sizeof(small)) {
        va_end(again);
        return std::string(small, static_cast<size_t>(n));
    }
    std::string out(static_cast<size_t>(n), '\0');
    vformat(out.data(), out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

std::string text(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = vtext(fmt, ap);
    va_end(ap);
    return out;
}

int print(FILE* stream, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n;
    {
        CNumbers c;
        n = std::vfprintf(stream, fmt, ap);
    }
    va_end(ap);
    return n;
}

double parse(const char* text, char** end) {
    const locale_t c = cLocale();
    if (c) return strtod_l(text, end, c);
    CNumbers scoped;
    return std::strtod(text, end);
}

}  // namespace pf::number

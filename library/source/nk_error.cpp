// Base object, error registry and the failure report line.
#include <algorithm>
#include <cstdio>
#include <cxxabi.h>
#include <string_view>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "nk_log.h"
#include "nk_typedef.h"
#include "nk_utils.h"

// ---------------------------------------------------------------- base object

CNK_baseObject::CNK_baseObject() : name{}, magic(NK_OBJECT_MAGIC), logManager(nullptr) {
    setClassName(typeid(*this));
}

CNK_baseObject::~CNK_baseObject() {
    if (magic == NK_OBJECT_MAGIC) {
        magic = 0;
        name[0] = '\0';
    }
}

void CNK_baseObject::setClassName(const std::type_info& type) {
    // The plain class name, without the namespaces a class may stand in.
    int status = 0;
    char* readable = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string_view full = (status == 0 && readable) ? std::string_view(readable) : std::string_view(type.name());
    const size_t scopeEnd = std::min(full.find('<'), full.size());
    const size_t lastScope = full.substr(0, scopeEnd).rfind("::");
    if (lastScope != std::string_view::npos) full.remove_prefix(lastScope + 2);
    const int len = static_cast<int>(std::min<size_t>(full.size(), sizeof(name) - 1));
    std::snprintf(name, sizeof(name), "%.*s", len, full.data());
    std::free(readable);
}

bool nkObj_isValid(const CNK_baseObject* obj) {
    return obj != nullptr && obj->magic == NK_OBJECT_MAGIC;
}

u16 CNK_baseObject::acceptLogManager(CNK_logManager* lm) {
    if (!nkObj_isValid(lm)) return kNKErr_invalidPointer;
    if (!nkObj_isValid(this)) return kNKErr_objectNotAvailable;
    if (std::strncmp(lm->name, "CNK_logManager", sizeof(lm->name)) != 0) return kNKErr_invalidPointer;
    logManager = lm;
    return kNKErr_OK;
}

// ---------------------------------------------------------------- registry

namespace {

struct Registry {
    std::once_flag filled;
    std::shared_mutex lock;  // lookups share it, expansions take it alone
    std::vector<t_errItem> rows;
    std::deque<std::string> names;  // owned copies of registered names; a deque never moves them
};

Registry& registry() {
    static Registry r;
    std::call_once(r.filled, [] {
        static const t_errItem builtIn[] = {
#define NK_ERROR_ROW(n, c) {#n, c, 0},
#ifdef NK_MORVELL_BUILD
#define NK_ERROR_ROW_RECODED(n, libCode, toolCode) {#n, toolCode, 0},
#define NK_ERROR_ROW_RENAMED(libName, toolName, c) {#toolName, c, 0},
#else
#define NK_ERROR_ROW_RECODED(n, libCode, toolCode) {#n, libCode, 0},
#define NK_ERROR_ROW_RENAMED(libName, toolName, c) {#libName, c, 0},
#endif
#include "nk_error_table.inc"
#undef NK_ERROR_ROW
#undef NK_ERROR_ROW_RECODED
#undef NK_ERROR_ROW_RENAMED
        };
        r.rows.assign(std::begin(builtIn), std::end(builtIn));
    });
    return r;
}

const t_errItem* findRow(const Registry& r, int code) {
    const u16 key = static_cast<u16>(code);
    for (const t_errItem& row : r.rows)
        if (row.code == key) return &row;
    return nullptr;
}

}  // namespace

void nkError_initErrorVTable() { registry(); }

u16 nkError_getErrorTableSize() {
    Registry& r = registry();
    std::shared_lock<std::shared_mutex> guard(r.lock);
    return static_cast<u16>(r.rows.size());
}

u16 nkError_getErrorCodeFromOrder(int index) {
    Registry& r = registry();
    std::shared_lock<std::shared_mutex> guard(r.lock);
    const size_t i = static_cast<u16>(index);
    if (i >= r.rows.size()) return kNKErr_unknown;
    return r.rows[i].code;
}

const char* nkError_getErrorString(int code) {
    Registry& r = registry();
    std::shared_lock<std::shared_mutex> guard(r.lock);
    const t_errItem* row = findRow(r, code);
#ifdef NK_MORVELL_BUILD
    return row ? row->name : "Unknown";
#else
    return row ? row->name : "";
#endif
}

int nkError_getHandlingRule(int code) {
    Registry& r = registry();
    std::shared_lock<std::shared_mutex> guard(r.lock);
    const t_errItem* row = findRow(r, code);
    return row ? row->handlingRule : -1;
}

void nkError_expandErrorCodes(const char* errStr, int code, int rule) {
    NK_ASSERT_FN(errStr);
    Registry& r = registry();
    std::unique_lock<std::shared_mutex> guard(r.lock);
    const bool exist = findRow(r, code) != nullptr;
    if (exist) {
        guard.unlock();  // the report below looks the code up again
        NK_ASSERT_FN(!exist);
    }
    r.names.emplace_back(errStr);
    r.rows.push_back({r.names.back().c_str(), static_cast<u16>(code), static_cast<u16>(rule)});
}

// ---------------------------------------------------------------- report line

namespace {

const char* baseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void writeStderr(const std::string& line) {
    // One write per line, so that lines of concurrent reporters never mix.
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

std::string formatReport(const char* file, const char* objName, const char* func, int line, u16 code,
                         const char* condition) {
    const char* word = code == kNKErr_assertion ? "Assertion Fail" : "Error";
    char tag[40];
    if (static_cast<i16>(code) < 0)
        std::snprintf(tag, sizeof(tag), "[%s,0x%04X]", word, code);
    else
        std::snprintf(tag, sizeof(tag), "[%s,%d]", word, code);

    // The condition part stays within 127 characters; the text is cut, never
    // the closing quote.
    char cond[128] = "";
    if (condition && *condition) std::snprintf(cond, sizeof(cond), " - \"%.*s\"", 122, condition);

    if (*func == '-') ++func;
    const char* errName = nkError_getErrorString(code);
    const char* cls = objName ? objName : "";
    const char* sep = objName ? "::" : "";
    const char* fmt = "%s %s [%s/%s%s%s() [%d]%s]\n";
    const int n = std::snprintf(nullptr, 0, fmt, tag, errName, baseName(file), cls, sep, func, line, cond);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    std::snprintf(out.data(), out.size() + 1, fmt, tag, errName, baseName(file), cls, sep, func, line, cond);
    return out;
}

[[noreturn]] void abortAt(const char* file, const char* func, int line) {
    std::fprintf(stderr, "%s:%d: %s: Assertion `0' failed.\n", file, line, func);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

void nkDebug_assertFail(const char* file, const char* objName, const char* func, int line,
                        const char* condition) {
    writeStderr(formatReport(file ? file : "", objName, func ? func : "", line, kNKErr_assertion, condition));
    abortAt(file ? file : "", func ? func : "", line);
}

void nkDebug_printError(CNK_logManager* lm, const char* file, const char* objName, const char* func, int line,
                        u16 code, const char* condition) {
    if (!file) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "file");
    if (!func) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "func");
    if (line < 0) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "line>=0");

    const std::string text = formatReport(file, objName, func, line, code, condition);
    if (nkObj_isValid(lm) && std::strncmp(lm->name, "CNK_logManager", sizeof(lm->name)) == 0)
        lm->printText(kVL1, "%s", text.c_str());
    else
        writeStderr(text);
}

void nkDebug_PrintMarker(const char* fileName, const char* objName, const char* functionName, int lineNumber) {
    NK_ASSERT_FN(fileName);
    NK_ASSERT_FN(strlen(fileName));
    NK_ASSERT_FN(functionName);
    NK_ASSERT_FN(strlen(functionName));
    NK_ASSERT_FN(lineNumber>=0);

    char stamp[32] = "";
    nkUtil_getTimestampStr(stamp, sizeof(stamp), 0);
    if (*functionName == '-') ++functionName;
    std::printf("[%s %s/%s%s%s() [%d]]\n", stamp, baseName(fileName), objName ? objName : "",
                objName ? "::" : "", functionName, lineNumber);
    std::fflush(stdout);
}

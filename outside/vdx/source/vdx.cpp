// Device-data repository stand-in on a local folder.
#include "vdx.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct vdx_error {
    int code;
    std::string text;
};
struct vdx_data {
    std::vector<uint8_t> bytes;
};
struct vdx_instance {
    std::string text;
};
struct vdx_permission {
    std::string text;
};
struct vdx_options {
    // Integers, booleans and texts are kept as text; a permission as its text.
    std::map<std::string, std::string> values;
};
struct vdx_client {
    std::map<std::string, std::string> options;
    std::map<std::string, std::vector<uint8_t>> data;
    std::map<std::string, std::string> texts;
};

namespace {

std::atomic<vdx_log_handler> g_handler{nullptr};

// Hooks and records, all under one lock.
std::mutex g_hookMutex;
int g_failPuts = 0;
std::map<std::string, int> g_answers;
bool g_emptyCopy = false;
bool g_keepOnRemove = false;
int g_delayMs = 0;
int g_transfers = 0;
std::map<std::string, std::vector<uint8_t>> g_lastData;
std::map<std::string, std::string> g_lastOptions;

std::mutex g_memoryMutex;
std::map<std::string, std::map<std::string, std::vector<uint8_t>>> g_memory;  // store -> key -> blob

std::atomic<int> g_active{0};

void say(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(int level, const char* format, ...) {
    const vdx_log_handler handler = g_handler.load();
    if (!handler) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    handler(level, text);
}

vdx_error* makeError(vdx_error** out, int code, const std::string& text) {
    say(3, "vdx: error %d: %s", code, text.c_str());
    if (!out) return nullptr;
    *out = new vdx_error{code, text};
    return *out;
}

// One transfer at a time: the repository's callers promise to serialise them,
// and a second one meeting the first is a broken promise worth a crash.
class TransferGuard {
public:
    TransferGuard() {
        if (g_active.fetch_add(1) != 0) {
            std::fputs("vdx: two transfers overlap\n", stderr);
            std::abort();
        }
        int delay;
        {
            std::lock_guard<std::mutex> lock(g_hookMutex);
            ++g_transfers;
            delay = g_delayMs;
        }
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    ~TransferGuard() { g_active.fetch_sub(1); }
    TransferGuard(const TransferGuard&) = delete;
    TransferGuard& operator=(const TransferGuard&) = delete;
};

constexpr int kNoErrorObject = VDX_TEST_NO_ERROR_OBJECT;

// Whether a call named so is told to fail, and with which code.
bool answerFor(const char* call, int* code) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    const auto it = g_answers.find(call);
    if (it == g_answers.end()) return false;
    *code = it->second;
    return true;
}

// Fails a call as told: an error object with the code, or none for kNoErrorObject.
bool answered(const char* call, vdx_error** error) {
    int code = 0;
    if (!answerFor(call, &code)) return false;
    if (code != kNoErrorObject) makeError(error, code, std::string(call) + " refused");
    return true;
}

// A local folder or file for a URL, or "" when it cannot be served here.
std::string localPath(const char* url) {
    if (!url) return std::string();
    static const char kScheme[] = "file://";
    const char* path = std::strncmp(url, kScheme, sizeof(kScheme) - 1) == 0 ? url + sizeof(kScheme) - 1 : url;
    return path[0] == '/' ? std::string(path) : std::string();
}

// Keys are opaque texts to the repository; on disk every character that could
// leave the folder or confuse a listing is spelled out as %XX.
std::string encodeName(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || (c == '.' && i > 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof(hex), "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string blobPath(const std::string& folder, const char* dataClass, const vdx_instance* instance) {
    return folder + "/" + encodeName(instance->text) + "_" + encodeName(dataClass) + ".bin";
}

bool readWhole(const std::string& path, std::vector<uint8_t>& out, int* err) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *err = errno;
        return false;
    }
    out.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) out.insert(out.end(), buf, buf + n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    *err = ok ? 0 : EIO;
    return ok;
}

// A new file beside the target, renamed over it: a reader never sees half a blob.
bool writeWhole(const std::string& path, const std::vector<uint8_t>& bytes) {
    const std::string temp = path + ".tmp-" + std::to_string(getpid());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) ok = false;
    if (ok && rename(temp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) unlink(temp.c_str());
    return ok;
}

// Remembers the options of the client that makes a transfer, for the tests.
void recordClient(const vdx_client* client) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_lastData = client->data;
    g_lastOptions = client->options;
}

// Where a client's blobs live: a memory store, a local folder, or nowhere
// (then the request times out).
struct Location {
    std::string memory;
    std::string folder;
};

bool locate(const vdx_client* client, Location& where) {
    const auto mem = client->texts.find("DataStore");
    if (mem != client->texts.end()) {
        where.memory = mem->second;
        return true;
    }
    const auto ds = client->options.find("DSURL");
    if (ds == client->options.end()) return false;
    where.folder = localPath(ds->second.c_str());
    return !where.folder.empty();
}

bool badRequest(const vdx_client* client, const char* dataClass, const vdx_instance* instance, vdx_error** error) {
    if (client && dataClass && dataClass[0] && instance) return false;
    makeError(error, VDX_ERR_DENIED, "incomplete request");
    return true;
}

}  // namespace

extern "C" {

void vdx_setLogHandler(vdx_log_handler handler) { g_handler.store(handler); }

int vdx_error_code(const vdx_error* error) { return error ? error->code : 0; }
const char* vdx_error_text(const vdx_error* error) { return error ? error->text.c_str() : ""; }
void vdx_error_release(vdx_error* error) { delete error; }

vdx_data* vdx_data_create(const void* bytes, size_t length) {
    if (!bytes && length > 0) return nullptr;
    auto* d = new vdx_data;
    if (length > 0) d->bytes.assign(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + length);
    return d;
}
const uint8_t* vdx_data_bytes(const vdx_data* data) { return data ? data->bytes.data() : nullptr; }
size_t vdx_data_length(const vdx_data* data) { return data ? data->bytes.size() : 0; }
void vdx_data_release(vdx_data* data) { delete data; }

vdx_instance* vdx_instance_create(const char* key) {
    if (!key || !key[0]) return nullptr;
    return new vdx_instance{key};
}
const char* vdx_instance_text(const vdx_instance* instance) { return instance ? instance->text.c_str() : ""; }
void vdx_instance_release(vdx_instance* instance) { delete instance; }

vdx_permission* vdx_permission_create(uint32_t access, const char* dataClass, const vdx_instance* instance) {
    if (!dataClass || !dataClass[0] || !instance) return nullptr;
    auto* p = new vdx_permission;
    p->text = std::string(dataClass) + ":" + std::to_string(access) + ":" + instance->text;
    return p;
}
int vdx_permission_append(vdx_permission* permission, uint32_t access, const char* dataClass,
                          const vdx_instance* instance) {
    if (!permission || !dataClass || !dataClass[0] || !instance) return 0;
    permission->text += ";" + std::string(dataClass) + ":" + std::to_string(access) + ":" + instance->text;
    return 1;
}
const char* vdx_permission_text(const vdx_permission* permission) { return permission ? permission->text.c_str() : ""; }
void vdx_permission_release(vdx_permission* permission) { delete permission; }

vdx_options* vdx_options_create(void) { return new vdx_options; }
void vdx_options_setString(vdx_options* options, const char* key, const char* value) {
    if (options && key && value) options->values[key] = value;
}
void vdx_options_setInt32(vdx_options* options, const char* key, int32_t value) {
    if (options && key) options->values[key] = std::to_string(value);
}
void vdx_options_setBool(vdx_options* options, const char* key, int value) {
    if (options && key) options->values[key] = value ? "true" : "false";
}
void vdx_options_setPermission(vdx_options* options, const char* key, const vdx_permission* value) {
    if (options && key && value) options->values[key] = value->text;
}
void vdx_options_release(vdx_options* options) { delete options; }

vdx_client* vdx_client_create(const vdx_options* options) {
    if (!options) return nullptr;
    int code = 0;
    if (answerFor("client", &code)) return nullptr;
    auto* c = new vdx_client;
    c->options = options->values;
    say(7, "vdx: client for %s", options->values.count("DSURL") ? options->values.at("DSURL").c_str() : "(no store)");
    return c;
}
int vdx_client_setData(vdx_client* client, const char* key, const vdx_data* value) {
    if (!client || !key || !value) return 0;
    client->data[key] = value->bytes;
    return 1;
}
int vdx_client_setInstance(vdx_client* client, const char* key, const vdx_instance* value) {
    if (!client || !key || !value) return 0;
    client->texts[key] = value->text;
    return 1;
}
int vdx_client_setString(vdx_client* client, const char* key, const char* value) {
    if (!client || !key || !value) return 0;
    client->texts[key] = value;
    return 1;
}
void vdx_client_release(vdx_client* client) { delete client; }

vdx_data* vdx_copyTrustObject(const char* url, vdx_error** error) {
    TransferGuard guard;
    if (answered("trust", error)) return nullptr;
    const std::string path = localPath(url);
    if (path.empty()) {
        makeError(error, VDX_ERR_TIMEOUT, std::string("no answer from ") + (url ? url : "(no URL)"));
        return nullptr;
    }
    auto* d = new vdx_data;
    int err = 0;
    if (!readWhole(path, d->bytes, &err)) {
        delete d;
        makeError(error, err == ENOENT ? VDX_ERR_NO_ENTRY : VDX_ERR_STORE, "cannot read trust object " + path);
        return nullptr;
    }
    say(6, "vdx: trust object %s (%zu bytes)", path.c_str(), d->bytes.size());
    return d;
}

int vdx_put(vdx_client* client, const char* dataClass, const vdx_instance* instance, const vdx_data* blob,
            vdx_error** error) {
    TransferGuard guard;
    if (badRequest(client, dataClass, instance, error) || !blob) return 0;
    recordClient(client);
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        if (g_failPuts > 0) {
            --g_failPuts;
            return 0;
        }
    }
    if (answered("put", error)) return 0;
    Location where;
    if (!locate(client, where)) {
        makeError(error, VDX_ERR_TIMEOUT, "no answer from the data store");
        return 0;
    }
    if (!where.memory.empty()) {
        std::lock_guard<std::mutex> lock(g_memoryMutex);
        g_memory[where.memory][std::string(dataClass) + "/" + instance->text] = blob->bytes;
    } else if (!writeWhole(blobPath(where.folder, dataClass, instance), blob->bytes)) {
        makeError(error, VDX_ERR_STORE, "cannot write into " + where.folder);
        return 0;
    }
    say(6, "vdx: put %s/%s (%zu bytes)", dataClass, instance->text.c_str(), blob->bytes.size());
    return 1;
}

vdx_data* vdx_copy(vdx_client* client, const char* dataClass, const vdx_instance* instance, vdx_error** error) {
    TransferGuard guard;
    if (badRequest(client, dataClass, instance, error)) return nullptr;
    recordClient(client);
    if (answered("copy", error)) return nullptr;
    Location where;
    if (!locate(client, where)) {
        makeError(error, VDX_ERR_TIMEOUT, "no answer from the data store");
        return nullptr;
    }
    auto* d = new vdx_data;
    if (!where.memory.empty()) {
        std::lock_guard<std::mutex> lock(g_memoryMutex);
        const auto store = g_memory.find(where.memory);
        const std::string key = std::string(dataClass) + "/" + instance->text;
        if (store == g_memory.end() || !store->second.count(key)) {
            delete d;
            makeError(error, VDX_ERR_NO_ENTRY, "no entry " + key);
            return nullptr;
        }
        d->bytes = store->second.at(key);
    } else {
        int err = 0;
        if (!readWhole(blobPath(where.folder, dataClass, instance), d->bytes, &err)) {
            delete d;
            makeError(error, err == ENOENT ? VDX_ERR_NO_ENTRY : VDX_ERR_STORE,
                      std::string("no entry ") + dataClass + "/" + instance->text);
            return nullptr;
        }
    }
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        if (g_emptyCopy) {
            delete d;
            return nullptr;
        }
    }
    say(6, "vdx: copy %s/%s (%zu bytes)", dataClass, instance->text.c_str(), d->bytes.size());
    return d;
}

int vdx_remove(vdx_client* client, const char* dataClass, const vdx_instance* instance, vdx_error** error) {
    TransferGuard guard;
    if (badRequest(client, dataClass, instance, error)) return 0;
    recordClient(client);
    if (answered("remove", error)) return 0;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        if (g_keepOnRemove) return 1;
    }
    Location where;
    if (!locate(client, where)) {
        makeError(error, VDX_ERR_TIMEOUT, "no answer from the data store");
        return 0;
    }
    if (!where.memory.empty()) {
        std::lock_guard<std::mutex> lock(g_memoryMutex);
        if (g_memory[where.memory].erase(std::string(dataClass) + "/" + instance->text) == 0) {
            makeError(error, VDX_ERR_NO_ENTRY, "no entry");
            return 0;
        }
    } else if (unlink(blobPath(where.folder, dataClass, instance).c_str()) != 0) {
        makeError(error, errno == ENOENT ? VDX_ERR_NO_ENTRY : VDX_ERR_STORE, "cannot remove");
        return 0;
    }
    say(6, "vdx: removed %s/%s", dataClass, instance->text.c_str());
    return 1;
}

int vdx_memoryStore_put(const char* store, const char* dataClass, const char* instance, const vdx_data* blob) {
    if (!store || !dataClass || !dataClass[0] || !instance || !instance[0] || !blob) return 0;
    std::lock_guard<std::mutex> lock(g_memoryMutex);
    g_memory[store][std::string(dataClass) + "/" + instance] = blob->bytes;
    return 1;
}

void vdx_memoryStore_clear(const char* store) {
    if (!store) return;
    std::lock_guard<std::mutex> lock(g_memoryMutex);
    g_memory.erase(store);
}

void vdx_test_reset(void) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_failPuts = 0;
    g_answers.clear();
    g_emptyCopy = false;
    g_keepOnRemove = false;
    g_delayMs = 0;
    g_transfers = 0;
    g_lastData.clear();
    g_lastOptions.clear();
}

void vdx_test_failPuts(int count) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_failPuts = count > 0 ? count : 0;
}

void vdx_test_answer(const char* call, int code) {
    if (!call) return;
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_answers[call] = code;
}

void vdx_test_emptyCopy(int on) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_emptyCopy = on != 0;
}

void vdx_test_keepOnRemove(int on) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_keepOnRemove = on != 0;
}

void vdx_test_transferDelayMs(int milliseconds) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_delayMs = milliseconds > 0 ? milliseconds : 0;
}

int vdx_test_transferCount(void) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    return g_transfers;
}

long vdx_test_lastClientData(const char* key, void* out, size_t capacity) {
    if (!key) return -1;
    std::lock_guard<std::mutex> lock(g_hookMutex);
    const auto it = g_lastData.find(key);
    if (it == g_lastData.end()) return -1;
    if (out) std::memcpy(out, it->second.data(), it->second.size() < capacity ? it->second.size() : capacity);
    return static_cast<long>(it->second.size());
}

const char* vdx_test_lastClientOption(const char* key) {
    thread_local std::string value;
    value.clear();
    if (!key) return value.c_str();
    std::lock_guard<std::mutex> lock(g_hookMutex);
    const auto it = g_lastOptions.find(key);
    if (it != g_lastOptions.end()) value = it->second;
    return value.c_str();
}

}  // extern "C"

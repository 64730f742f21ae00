// Device-data repository stand-in. The factory's repository keeps one blob per
// data class and instance; this library keeps it in a local folder instead, one
// file per class and instance, so the whole road runs on one machine.
//
// Locations: a data-store or trust-object URL is served when it is "file://PATH"
// or an absolute path; any other URL (and a missing one) answers as a time-out.
// Every object a call creates is released by the caller with its release call.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vdx_error vdx_error;
typedef struct vdx_data vdx_data;
typedef struct vdx_instance vdx_instance;
typedef struct vdx_permission vdx_permission;
typedef struct vdx_options vdx_options;
typedef struct vdx_client vdx_client;

// Codes of the error objects this library answers with.
enum {
    VDX_ERR_DENIED = 1,       // the request itself is not acceptable
    VDX_ERR_STORE = 3,        // the store could not be read or written
    VDX_ERR_NO_ENTRY = 7,     // no blob for this class and instance
    VDX_ERR_TIMEOUT = 8,      // the location did not answer in time
    VDX_ERR_UNREACHABLE = 11  // the location cannot be reached
};

// Message levels follow the system log's numbering: 3 error, 6 information, 7 debug.
typedef void (*vdx_log_handler)(int level, const char* message);
void vdx_setLogHandler(vdx_log_handler handler);

// Error objects.
int vdx_error_code(const vdx_error* error);
const char* vdx_error_text(const vdx_error* error);
void vdx_error_release(vdx_error* error);

// Byte blobs.
vdx_data* vdx_data_create(const void* bytes, size_t length);
const uint8_t* vdx_data_bytes(const vdx_data* data);
size_t vdx_data_length(const vdx_data* data);
void vdx_data_release(vdx_data* data);

// Instance texts; null for a null or empty key.
vdx_instance* vdx_instance_create(const char* key);
const char* vdx_instance_text(const vdx_instance* instance);
void vdx_instance_release(vdx_instance* instance);

// Permission texts: one (class, access, instance) grant, then more appended.
// Null, or 0 from the append, for a null argument or an empty class text.
vdx_permission* vdx_permission_create(uint32_t access, const char* dataClass, const vdx_instance* instance);
int vdx_permission_append(vdx_permission* permission, uint32_t access, const char* dataClass,
                          const vdx_instance* instance);
const char* vdx_permission_text(const vdx_permission* permission);
void vdx_permission_release(vdx_permission* permission);

// Option dictionaries for client creation ("CAURL", "DSURL", "Permissions",
// "HTTPTimeout", "VerifyData", "StripVantex"). Values are copied.
vdx_options* vdx_options_create(void);
void vdx_options_setString(vdx_options* options, const char* key, const char* value);
void vdx_options_setInt32(vdx_options* options, const char* key, int32_t value);
void vdx_options_setBool(vdx_options* options, const char* key, int value);
void vdx_options_setPermission(vdx_options* options, const char* key, const vdx_permission* value);
void vdx_options_release(vdx_options* options);

// Clients. Client options: "TrustObject" and "TrustObjectDigest" (data), "INST"
// (instance), "DataStore" (text naming an in-memory store in place of the
// data-store URL). The setters return 1, or 0 for a null argument.
vdx_client* vdx_client_create(const vdx_options* options);
int vdx_client_setData(vdx_client* client, const char* key, const vdx_data* value);
int vdx_client_setInstance(vdx_client* client, const char* key, const vdx_instance* value);
int vdx_client_setString(vdx_client* client, const char* key, const char* value);
void vdx_client_release(vdx_client* client);

// The trust object the trust-object URL names: the file's bytes. Null and an
// error object on failure.
vdx_data* vdx_copyTrustObject(const char* url, vdx_error** error);

// Transfers. put and remove return 1 on success and 0 on failure; copy returns
// the blob or null. A failure may or may not come with an error object.
int vdx_put(vdx_client* client, const char* dataClass, const vdx_instance* instance, const vdx_data* blob,
            vdx_error** error);
vdx_data* vdx_copy(vdx_client* client, const char* dataClass, const vdx_instance* instance, vdx_error** error);
int vdx_remove(vdx_client* client, const char* dataClass, const vdx_instance* instance, vdx_error** error);

// In-memory stores, named ("Memory"), filled blob by blob and read by clients
// whose "DataStore" option names them.
int vdx_memoryStore_put(const char* store, const char* dataClass, const char* instance, const vdx_data* blob);
void vdx_memoryStore_clear(const char* store);

// ---------------------------------------------------------------- test hooks
// Failures on demand. A transfer that begins while another one runs ends the
// process: the caller is expected to serialise them.

// Clears every hook below and the recorded client options.
void vdx_test_reset(void);
// The next `count` puts fail without an error object.
void vdx_test_failPuts(int count);
// Every call named `call` ("client", "put", "copy", "remove", "trust") fails
// until reset: with an error object carrying `code` (0 included), or without
// one for VDX_TEST_NO_ERROR_OBJECT. Client creation fails with no object at all.
#define VDX_TEST_NO_ERROR_OBJECT (-1)
void vdx_test_answer(const char* call, int code);
// Copies that would succeed return nothing and no error object.
void vdx_test_emptyCopy(int on);
// Removals report success and keep the blob.
void vdx_test_keepOnRemove(int on);
// Each transfer lasts at least this long, so overlapping callers would meet.
void vdx_test_transferDelayMs(int milliseconds);
// Transfers (put, copy, remove, trust copy) begun since the reset.
int vdx_test_transferCount(void);
// A data option of the last client that made a transfer, copied into `out`
// (at most `capacity` bytes); its full length, or -1 when it was not set.
long vdx_test_lastClientData(const char* key, void* out, size_t capacity);
// An integer, boolean or text option of the last client's creation options as
// text; "" when it was not set.
const char* vdx_test_lastClientOption(const char* key);

#ifdef __cplusplus
}
#endif

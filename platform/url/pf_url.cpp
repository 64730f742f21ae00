// URL loading on libcurl.
#include "url/pf_url.h"

#include <curl/curl.h>

#include <mutex>

namespace pf::url {

namespace {

struct Sink {
    std::string* body;
    size_t max;
    bool tooLong = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t n = size * count;
    if (sink->body->size() + n > sink->max) {
        sink->tooLong = true;
        return 0;  // ends the transfer
    }
    sink->body->append(data, n);
    return n;
}

}  // namespace

Response post(const std::string& url, const std::string& body, const std::vector<std::string>& headers,
              long timeoutMs, size_t maxBody) {
    // curl's global set-up is not thread-safe; requests may start on any thread.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    Response r;
    CURL* curl = curl_easy_init();
    if (!curl) {
        r.error = "cannot start a transfer";
        return r;
    }
    curl_slist* list = nullptr;
    for (const std::string& h : headers) {
        curl_slist* next = curl_slist_append(list, h.c_str());
        if (next) list = next;
    }
    Sink sink{&r.body, maxBody};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // time-outs without SIGALRM, safe on any thread
    const CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK) {
        r.transferred = true;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    } else {
        r.error = sink.tooLong ? "reply too long" : curl_easy_strerror(rc);
        r.body.clear();
    }
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return r;
}

}  // namespace pf::url

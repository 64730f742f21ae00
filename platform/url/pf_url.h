// URL loading: one synchronous web request, as the station's few shop-floor
// queries need it.
#pragma once

#include <string>
#include <vector>

namespace pf::url {

struct Response {
    bool transferred = false;  // a reply came back (any HTTP status)
    long status = 0;           // HTTP status of the reply
    std::string body;
    std::string error;         // why nothing came back
};

// POSTs `body` to `url` with the given "Name: value" headers; gives up after
// `timeoutMs` in all. Replies larger than `maxBody` bytes are cut off and count as
// no reply.
Response post(const std::string& url, const std::string& body, const std::vector<std::string>& headers,
              long timeoutMs, size_t maxBody = 1 << 20);

}  // namespace pf::url

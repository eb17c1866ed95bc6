#include "download/curl/CurlGlobal.h"

#include <curl/curl.h>

#include <stdexcept>
#include <string>

namespace korvane {

TCurlGlobal::TCurlGlobal() {
    if (const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
        throw std::runtime_error(std::string("libcurl could not be set up: ") +
                                 curl_easy_strerror(code));
    }
}

TCurlGlobal::~TCurlGlobal() {
    curl_global_cleanup();
}

}  // namespace korvane

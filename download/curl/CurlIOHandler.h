// The HTTP transport over libcurl: owns the easy handle, and with it the open connection and the
// cookies, and performs single GETs with the program's fixed request and TLS settings.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string>

#include "download/HttpTransport.h"

namespace korvane {

class TCurlIOHandler final : public IHttpTransport {
public:
    TCurlIOHandler();
    TCurlIOHandler(const TCurlIOHandler&) = delete;
    TCurlIOHandler& operator=(const TCurlIOHandler&) = delete;
    ~TCurlIOHandler() override;

    THttpAnswer Get(const std::string& AUrl, IHttpReceiver& AReceiver,
                    std::chrono::milliseconds AReadTimeout) override;
    void CloseConnection() override;

private:
    struct TEasyDeleter {
        void operator()(CURL* AHandle) const { curl_easy_cleanup(AHandle); }
    };
    struct TShareDeleter {
        void operator()(CURLSH* AHandle) const { curl_share_cleanup(AHandle); }
    };
    struct TSlistDeleter {
        void operator()(curl_slist* AList) const { curl_slist_free_all(AList); }
    };

    // A handle with the program's fixed request and TLS settings, sharing the cookies.
    std::unique_ptr<CURL, TEasyDeleter> NewEasyHandle() const;

    std::unique_ptr<CURLSH, TShareDeleter> FCookies;
    std::unique_ptr<curl_slist, TSlistDeleter> FRequestHeaders;
    std::unique_ptr<CURL, TEasyDeleter> FEasy;
};

}  // namespace korvane

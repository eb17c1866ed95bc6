// The HTTP transport over libcurl: owns the easy handle, and with it the open connection and the
// cookies, and performs single GETs with the program's fixed request and TLS settings.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "download/HttpTransport.h"

namespace korvane {

class TCurlIOHandler final : public IHttpTransport {
public:
    // Trusts the authority in `ATrustedCaPem` alone, or the system's store when it is empty.
    explicit TCurlIOHandler(std::string_view ATrustedCaPem);
    TCurlIOHandler(const TCurlIOHandler&) = delete;
    TCurlIOHandler& operator=(const TCurlIOHandler&) = delete;
    ~TCurlIOHandler() override;

    THttpAnswer Get(const std::string& AUrl, IHttpReceiver& AReceiver,
                    std::chrono::milliseconds AReadTimeout) override;
    void CloseConnection() override;
    std::string SchemeOf(const std::string& AUrl) const override;

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

    const std::string FTrustedCaPem;  // empty: the system's store
    std::unique_ptr<CURLSH, TShareDeleter> FCookies;
    std::unique_ptr<curl_slist, TSlistDeleter> FRequestHeaders;
    std::unique_ptr<CURL, TEasyDeleter> FEasy;
};

}  // namespace korvane

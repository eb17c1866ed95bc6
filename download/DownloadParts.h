// What a window's download run is made of beyond the core's rules, made by the program's main
// from the settings that it was built with.
#pragma once

#include <memory>
#include <span>

#include "download/HttpTransport.h"
#include "download/PublisherCheck.h"
#include "download/TlsLibraries.h"

namespace korvane {

struct TDownloadParts {
    // Carries every connection of the window's client.
    std::unique_ptr<IHttpTransport> Transport;
    // Decides whether the maker signed the download; nullptr when the verified TLS connection
    // alone vouches for it.
    std::unique_ptr<IPublisherCheck> PublisherCheck;
    // Written before each download; empty when the system's own TLS layer serves.
    std::span<const TTlsPayload> TlsLibraries;
};

}  // namespace korvane

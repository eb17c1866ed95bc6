// libcurl's global set-up and clean-up, held for the life of the program by its main function,
// before any handle is made and after the last one is gone: libcurl's own implicit set-up is not
// thread-safe and is never undone.
#pragma once

namespace korvane {

class TCurlGlobal {
public:
    // Raises std::runtime_error when libcurl cannot be set up.
    TCurlGlobal();
    TCurlGlobal(const TCurlGlobal&) = delete;
    TCurlGlobal& operator=(const TCurlGlobal&) = delete;
    ~TCurlGlobal();
};

}  // namespace korvane

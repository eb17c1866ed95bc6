#include "support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "platform/UniqueFd.h"
#include "support/SystemError.h"

namespace korvane::test {
namespace {

using platform::UniqueFd;

sockaddr_in Loopback(int APort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(APort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

UniqueFd BoundSocket(int APort) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        ThrowErrno("socket");
    }
    const sockaddr_in address = Loopback(APort);
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ThrowErrno("bind to 127.0.0.1:" + std::to_string(APort));
    }
    return socket;
}

int PortOf(const UniqueFd& ASocket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(ASocket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ThrowErrno("getsockname");
    }
    return ntohs(address.sin_port);
}

}  // namespace

std::array<int, 2> FreePorts() {
    const UniqueFd first = BoundSocket(0);
    const UniqueFd second = BoundSocket(0);
    return {PortOf(first), PortOf(second)};
}

bool AcceptsConnections(int APort) {
    const UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(APort);
    return socket && ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address),
                               sizeof address) == 0;
}

}  // namespace korvane::test

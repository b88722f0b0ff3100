// The library never calls WSAStartup: it must not change the socket state of
// the process it is loaded into. Where the caller has not set up Winsock,
// both calls fail and the address stays 0.0.0.0.
#include "platform/platform.h"

#include <winsock2.h>

#include <cstring>

namespace sorvik::platform {

void hostAddress(uint8_t address[4]) {
    std::memset(address, 0, 4);
    char name[256];
    if (gethostname(name, sizeof name) != 0) return;
    name[sizeof name - 1] = '\0';
    const hostent *host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || host->h_length < 4 || !host->h_addr_list || !host->h_addr_list[0])
        return;
    std::memcpy(address, host->h_addr_list[0], 4);
}

}  // namespace sorvik::platform

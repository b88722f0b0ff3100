#include "platform/platform.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace sorvik::platform {

void hostAddress(uint8_t address[4]) {
    std::memset(address, 0, 4);
    char name[256];
    if (gethostname(name, sizeof name) != 0) return;
    name[sizeof name - 1] = '\0';

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0) return;
    for (addrinfo *entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(entry->ai_addr);
            std::memcpy(address, &ipv4->sin_addr.s_addr, 4);
            break;
        }
    }
    freeaddrinfo(found);
}

}  // namespace sorvik::platform

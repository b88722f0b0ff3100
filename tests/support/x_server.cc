#include "support/x_server.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace sorvik::test {

XServer::XServer() {
    // -displayfd: the server picks the first free display number and writes
    // it to its standard output, the pipe to this process, once it accepts
    // connections. -noreset: properties a test sets on the root survive the
    // last client leaving. Standard error to /dev/null, so that the server's
    // chatter does not bury a test's own messages.
    Program xvfb{{"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen", "0", "320x240x24"}};
    xvfb.in = Stream::inherit();
    xvfb.err = Stream::null();
    xvfb.searchPath = true;
    server = startProgram(xvfb);
    std::string line;
    if (readLine(server, &line, std::chrono::seconds(20)) && !line.empty()) display = ":" + line;
}

XServer::~XServer() {
    if (server.pid > 0) kill(server.pid, SIGTERM);
    waitChild(&server, std::chrono::seconds(10));
}

std::string namedCopy(const std::string &program, const std::string &directory, const std::string &name) {
    const std::string path = directory + "/" + name;
    std::filesystem::copy_file(program, path, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

WindowClient::WindowClient(const std::string &program, const std::string &display,
                           const std::vector<std::string> &commands) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), commands.begin(), commands.end());
    Program client{argv};
    client.in = Stream::inherit();
    client.environment = {{"DISPLAY", display}};
    child = startProgram(client);
    std::string line;
    if (!readLine(child, &line) || line.rfind("windows", 0) != 0) return;
    std::istringstream ids(line.substr(7));
    uint32_t id;
    while (ids >> id) windows.push_back(id);
}

WindowClient::~WindowClient() { killChild(&child); }

int runOnDisplay(const std::string &display, const std::vector<std::string> &argv) {
    Program program{argv};
    program.in = Stream::inherit();
    program.out = Stream::inherit();
    program.environment = {{"DISPLAY", display}};
    Child child = startProgram(program);
    return waitChild(&child, std::chrono::seconds(10));
}

SilentDisplay::SilentDisplay() {
    for (int n = 4100; n < 4200 && display.empty(); ++n) {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
        struct stat existing;
        if (stat(path.c_str(), &existing) == 0) continue;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "%s", path.c_str());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 && listen(fd, 8) == 0) {
            listener_ = fd;
            display = ":" + std::to_string(n);
        } else {
            close(fd);
        }
    }
}

void SilentDisplay::forget() {
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
}

}  // namespace sorvik::test

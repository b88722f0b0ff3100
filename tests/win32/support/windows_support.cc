#include "support/windows_support.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <memory>

namespace sorvik::wintest {
namespace {

std::string quoted(const std::string &argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    std::string out = "\"";
    for (char c : argument) {
        if (c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

void closeHandle(void **handle) {
    if (*handle) CloseHandle(static_cast<HANDLE>(*handle));
    *handle = nullptr;
}

}  // namespace

bool fileExists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool copyFile(const std::string &from, const std::string &to) { return CopyFileA(from.c_str(), to.c_str(), FALSE); }

std::vector<std::string> filesIn(const std::string &directory) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

bool makeDirectory(const std::string &path) {
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool setReadOnly(const std::string &path, bool readOnly) {
    return SetFileAttributesA(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

bool startWinsock() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void stopWinsock() { WSACleanup(); }

std::vector<uint8_t> resolvedHostAddress() {
    std::vector<uint8_t> address(4, 0);
    char name[256];
    if (gethostname(name, sizeof name) != 0) return address;
    const hostent *host = gethostbyname(name);
    if (host && host->h_addrtype == AF_INET && host->h_addr_list[0])
        address.assign(host->h_addr_list[0], host->h_addr_list[0] + 4);
    return address;
}

std::string besideThisProgram(const std::string &fileName) {
    char self[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, length);
    const size_t slash = path.find_last_of("\\/");
    return path.substr(0, slash == std::string::npos ? 0 : slash + 1) + fileName;
}

Held::~Held() { closeHandle(&handle_); }

Held &Held::operator=(Held &&other) noexcept {
    if (this != &other) {
        closeHandle(&handle_);
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

Held openWithoutSharing(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return Held(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

Held namedMutex(const std::string &name) { return Held(CreateMutexA(nullptr, FALSE, name.c_str())); }

LoadedLibrary::LoadedLibrary(const std::string &path) : module_(LoadLibraryA(path.c_str())) {}

void *LoadedLibrary::find(const char *exportName) const {
    return module_ ? reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module_), exportName)) : nullptr;
}

void LoadedLibrary::unload() {
    if (module_) FreeLibrary(static_cast<HMODULE>(module_));
    module_ = nullptr;
}

Child::Child(const std::string &program, const std::vector<std::string> &arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr, toChild = nullptr, fromChild = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &toChild, &inherit, 0)) return;
    if (!CreatePipe(&fromChild, &childOut, &inherit, 0)) {
        CloseHandle(childIn);
        CloseHandle(toChild);
        return;
    }
    // Only the child's ends are inherited.
    SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0);

    std::string commandLine = quoted(program);
    for (const std::string &argument : arguments) commandLine += " " + quoted(argument);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    const BOOL created = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &info);
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (!created) {
        CloseHandle(toChild);
        CloseHandle(fromChild);
        return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    processId_ = info.dwProcessId;
    input_ = toChild;
    output_ = fromChild;
}

Child::~Child() {
    if (process_) kill();
    closeHandle(&input_);
    closeHandle(&output_);
}

bool Child::readLine(std::string *line, milliseconds limit) {
    line->clear();
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limit.count());
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            *line = pending_.substr(0, end);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            pending_.erase(0, end + 1);
            return true;
        }
        if (!output_) return false;
        DWORD available = 0;
        if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr)) return false;  // the child ended
        if (available > 0) {
            char buffer[512];
            DWORD got = 0;
            if (!ReadFile(output_, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) || got == 0)
                return false;
            pending_.append(buffer, got);
            continue;
        }
        if (GetTickCount64() >= deadline) return false;
        Sleep(5);
    }
}

std::string Child::readAll(milliseconds limit) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limit.count());
    std::string all;
    std::string line;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        if (readLine(&line, milliseconds(deadline - now)))
            all += line + "\n";
        else if (!output_ || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) {
            DWORD available = 0;
            if (!output_ || !PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
        }
    }
    return all + pending_;
}

bool Child::writeLine(const std::string &line) {
    if (!input_) return false;
    const std::string bytes = line + "\n";
    DWORD written = 0;
    return WriteFile(input_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

void Child::closeInput() { closeHandle(&input_); }

int64_t Child::wait(milliseconds limit) {
    if (!process_) return -1;
    int64_t result = -1;
    if (WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process_, &code)) result = code;
    } else {
        TerminateProcess(process_, 0xdead);
        WaitForSingleObject(process_, static_cast<DWORD>(kPatience.count()));
    }
    closeHandle(&process_);
    return result;
}

void Child::kill() {
    if (!process_) return;
    TerminateProcess(process_, 0xdead);
    WaitForSingleObject(process_, static_cast<DWORD>(kPatience.count()));
    closeHandle(&process_);
}

std::unique_ptr<Child> startHolding(const std::string &program, std::vector<std::string> arguments,
                                    std::string *printed, milliseconds limit) {
    arguments.push_back("hold");
    auto child = std::make_unique<Child>(program, arguments);
    std::string all, line;
    while (child->readLine(&line, limit)) {
        if (line == "holding") break;
        all += line + "\n";
    }
    if (line != "holding") ADD_FAILURE() << program << " did not get to hold: " << all;
    if (printed) *printed = all;
    return child;
}

Session::Session(const std::string &program, std::vector<std::string> arguments) {
    arguments.push_back("serve");
    child_ = std::make_unique<Child>(program, arguments);
    std::string line;
    while (child_->readLine(&line)) {
        if (line == "serving") return;
        started_ += line + "\n";
    }
    ADD_FAILURE() << program << " did not start serving: " << started_;
}

Session::~Session() {
    child_->closeInput();
    child_->wait();
}

std::string Session::ask(const std::string &command) {
    std::string line;
    if (!child_->writeLine(command) || !child_->readLine(&line)) ADD_FAILURE() << "no answer to " << command;
    return line;
}

std::string runProgram(const std::string &program, const std::vector<std::string> &arguments, int64_t *exitCode,
                       milliseconds limit) {
    Child child(program, arguments);
    if (!child.started()) {
        if (exitCode) *exitCode = -1;
        return "<not started>";
    }
    child.closeInput();
    const std::string output = child.readAll(limit);
    const int64_t code = child.wait(milliseconds(1000));
    if (exitCode) *exitCode = code;
    return output;
}

}  // namespace sorvik::wintest

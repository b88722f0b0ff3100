// The calls a controlled program makes about itself, made here on its
// behalf: the three questions, liveness, messages and reset.
#include <cstdio>
#include <ctime>

#include "commands.h"
#include "records.h"

namespace sorvikctl {
namespace {

std::string copies(int32_t count) {
    if (count == 0) return "no copy";
    return count == 1 ? "1 copy" : std::to_string(count) + " copies";
}

int answer(bool yes, const std::string &why) {
    std::printf("%s: %s\n", yes ? "yes" : "no", why.c_str());
    return yes ? kYes : kNo;
}

int noRecord(const std::string &name) {
    std::fprintf(stderr, "no record named %s; nothing changed\n", name.c_str());
    return kNoSuchRecord;
}

}  // namespace

int ask(Question question, const std::string &name) {
    const char *n = name.c_str();
    const int32_t result = question == Question::canExecute    ? processCanExecute(n)
                           : question == Question::isExecuting ? processIsExecuting(n)
                                                               : IsProcessMustReExecute(n);
    // The question recounted the record; its count explains the answer.
    const auto record = findRecord(name);
    if (!record) return answer(result != 0, "no record named " + name + (result ? " limits it" : ""));
    const ProStru &f = record->fields;
    const std::string running = copies(f.exeCount) + " of " + name + " running";
    switch (question) {
    case Question::canExecute:
        return answer(result != 0, running + ", " + std::to_string(f.permitExeCount) + " permitted");
    case Question::isExecuting:
        return answer(result != 0, running);
    case Question::mustReExecute:
        return answer(result != 0, running + ", the minimum is " + std::to_string(f.minExeCount));
    }
    return kNo;
}

int reportActive(const std::string &name) {
    processActive(name.c_str());
    if (!findRecord(name)) return noRecord(name);
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::printf("%s reported alive at %s\n", name.c_str(), stamp);
    return 0;
}

int leaveMessage(const std::string &name, const std::string &text) {
    processMsg(name.c_str(), text.c_str());
    const auto record = findRecord(name);
    if (!record) return noRecord(name);
    const std::string kept = fieldText(record->fields.message, sizeof record->fields.message);
    if (kept.size() < text.size())
        std::printf("left the message \"%s\" for %s (cut to %zu characters)\n", kept.c_str(), name.c_str(),
                    kept.size());
    else
        std::printf("left the message \"%s\" for %s\n", kept.c_str(), name.c_str());
    return 0;
}

int resetRunState(const std::string &name) {
    processMsgReset(name.c_str());
    if (!findRecord(name)) return noRecord(name);
    std::printf("reset %s: running count 0, no message, liveness \"reset\"\n", name.c_str());
    return 0;
}

}  // namespace sorvikctl

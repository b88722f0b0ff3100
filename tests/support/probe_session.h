// The probe program (support/probe.c) in a child process that keeps the
// test site's library loaded while a test talks to it.
#ifndef SORVIK_TESTS_SUPPORT_PROBE_SESSION_H
#define SORVIK_TESTS_SUPPORT_PROBE_SESSION_H

#include <string>
#include <vector>

#include "support/scratch.h"

namespace sorvik::test {

// The probe's path and the test site's file and region, set by the build.
extern const std::string kProbe;
extern const std::string kSiteConfig;
extern const std::string kSiteRegion;
extern const std::string kSiteRunDir;

// `base` made unique to this test process, keeping its length when it can,
// so that concurrent test runs never count each other's processes.
std::string uniqueName(const std::string &base);

// Runs the probe once with these commands; its output. Fails the test when
// the probe does not end well.
std::string probe(const std::vector<std::string> &commands);

class ProbeSession {
  public:
    // Starts the probe with `commands`, then "serve". `launch` is the command
    // line that runs a probe (another user's, another library's), the test
    // site's probe when empty.
    explicit ProbeSession(const std::vector<std::string> &commands = {},
                          const std::vector<std::string> &launch = {});
    ~ProbeSession();
    ProbeSession(const ProbeSession &) = delete;
    ProbeSession &operator=(const ProbeSession &) = delete;

    // What the probe printed before it began to serve.
    const std::string &started() const { return started_; }
    // Sends one command and gives the one line it answers.
    std::string ask(const std::string &command);
    pid_t pid() const { return child_.pid; }
    // Ends the probe with SIGKILL, as a crash would.
    void kill();

  private:
    Child child_;
    int toChild_ = -1;
    std::string started_;
};

// Starts `program` with `args` as a child with no standard input or output;
// its pid. stopProcess kills it and collects it.
pid_t startProcess(const std::string &program, const std::vector<std::string> &args = {});
void stopProcess(pid_t pid);

// Copies of the sleeper program under chosen file names in a directory of
// their own, started and ended by pid.
class Sleepers {
  public:
    Sleepers();
    ~Sleepers();
    pid_t start(const std::string &fileName, const std::vector<std::string> &args = {});
    void stop(pid_t pid);
    // A file in the directory, for scripts the test writes.
    std::string path(const std::string &fileName) const { return directory_ + "/" + fileName; }
    // A shell script of `body`, started by its #! line; "$0.fifo" is a FIFO
    // nobody writes, for a body that must wait without forking.
    pid_t startScript(const std::string &fileName, const std::string &body);

  private:
    std::string directory_;
    std::vector<pid_t> running_;
};

}  // namespace sorvik::test

#endif

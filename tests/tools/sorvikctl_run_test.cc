// sorvikctl run and sorvikctl metrics end to end: real launchers racing for
// slots, real child processes and signals, and the metrics read back by
// Prometheus's own parser.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/json_reader.h"
#include "support/probe_session.h"

namespace sorvik {
namespace {

using namespace std::chrono_literals;
using test::uniqueName;

const std::string kCtl = SORVIKCTL;
constexpr int kNoSlot = 250;

// sorvikctl started in the background, its output going to files.
class Launch {
  public:
    // `gate`: a pipe; when given, the child waits until its writing end
    // closes before it starts sorvikctl, so that several can be let go at once.
    explicit Launch(const std::vector<std::string> &args, const int *gate = nullptr) : args_(args) {
        char pattern[] = "/tmp/sorvikctl-run-XXXXXX";
        directory_ = mkdtemp(pattern);
        test::Program tool{{kCtl}};
        tool.argv.insert(tool.argv.end(), args.begin(), args.end());
        tool.out = test::Stream::file(directory_ + "/out");
        tool.err = test::Stream::file(directory_ + "/err");
        tool.unset = {"LD_LIBRARY_PATH"};
        tool.beforeExec = [gate] {
            if (gate) {
                close(gate[1]);
                char byte;
                while (read(gate[0], &byte, 1) > 0) {
                }
                close(gate[0]);
            }
            // A test started in the background of a shell inherits these ignored.
            signal(SIGINT, SIG_DFL);
            signal(SIGQUIT, SIG_DFL);
        };
        test::Child child = test::startProgram(tool);
        close(child.fromChild);
        pid_ = child.pid;
    }
    ~Launch() {
        if (status_ == kRunning && pid_ > 0) {
            kill(pid_, SIGKILL);
            test::awaitExit(pid_, 10s, describe());
        }
        std::filesystem::remove_all(directory_);
    }
    Launch(const Launch &) = delete;
    Launch &operator=(const Launch &) = delete;

    pid_t pid() const { return pid_; }
    // Whether it has ended, without waiting.
    bool ended() {
        if (status_ == kRunning) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return status_ != kRunning;
    }
    // The exit status once it ends, within `limit`; kRunning when it does not.
    int wait(std::chrono::milliseconds limit = 15s) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!ended() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
        return status_;
    }
    std::string out() const { return test::readFile(directory_ + "/out"); }
    std::string err() const { return test::readFile(directory_ + "/err"); }
    std::string describe() const {
        std::string line = "sorvikctl";
        for (const std::string &a : args_) line += " '" + a + "'";
        return line + "\nstatus " + std::to_string(status_) + "\nstdout:\n" + out() + "stderr:\n" + err();
    }

    static constexpr int kRunning = -1000;

  private:
    std::vector<std::string> args_;
    std::string directory_;
    pid_t pid_ = -1;
    int status_ = kRunning;
};

// Waits until `done` holds, at most `limit`; false when it never did.
bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = 15s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class SorvikctlRun : public ::testing::Test {
  protected:
    void SetUp() override {
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        // A child that dumps core on SIGQUIT leaves no file behind.
        rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
        char pattern[] = "/tmp/sorvikctl-jobs-XXXXXX";
        jobs = mkdtemp(pattern);
        useTable(job + " 0 1 0 0\n");
    }
    void TearDown() override {
        holder.reset();
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        std::filesystem::remove_all(test::kSiteConfig);
        // Whatever a failed test left running under the job's name.
        for (const auto &entry : std::filesystem::directory_iterator(jobs))
            if (entry.path().extension() == ".started")
                for (const std::string &pid : lines(entry.path())) kill(std::stoi(pid), SIGKILL);
        std::filesystem::remove_all(jobs);
    }
    // A fresh table from `config`, kept while the test runs by a process
    // that holds the library loaded, as the programs of a site do.
    void useTable(const std::string &config) {
        holder.reset();
        test::removeRegion(test::kSiteRunDir, test::kSiteRegion);
        test::writeFile(test::kSiteConfig, config);
        holder = std::make_unique<test::ProbeSession>();
    }

    static std::vector<std::string> lines(const std::string &path) {
        std::vector<std::string> result;
        const std::string text = test::readFile(path);
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            result.push_back(text.substr(at, end - at));
        return result;
    }

    // A script named `fileName` in the jobs directory: it notes its pid in
    // FILE.started, then runs `body`. "$0.fifo" is a FIFO nobody writes, to
    // wait on without another process.
    std::string script(const std::string &fileName, const std::string &body) {
        const std::string path = jobs + "/" + fileName;
        mkfifo((path + ".fifo").c_str(), 0600);
        test::writeFile(path, "#!/bin/sh\necho $$ >> \"$0.started\"\n" + body + "\n");
        chmod(path.c_str(), 0755);
        return path;
    }
    // The pids of the copies of that script that have started.
    std::vector<std::string> started(const std::string &path) { return lines(path + ".started"); }
    // Waits for the `n`th copy of the script to start; its pid, or -1.
    pid_t awaitStart(const std::string &path, size_t n = 1) {
        if (!eventually([&] { return started(path).size() >= n; })) return -1;
        return std::stoi(started(path)[n - 1]);
    }

    std::string jobs;
    const std::string job = uniqueName("job");
    std::unique_ptr<test::ProbeSession> holder;
};

TEST_F(SorvikctlRun, TwoLaunchersRacingForOneSlotStartExactlyOne) {
    const std::string command = script(job, "read line < \"$0.fifo\"");
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        Launch first({"run", job, "--", command}, gate);
        Launch second({"run", job, "--", command}, gate);
        close(gate[0]);
        close(gate[1]);  // both go at once

        Launch *refused = nullptr;
        ASSERT_TRUE(eventually([&] { return first.ended() || second.ended(); })) << "neither was refused";
        refused = first.ended() ? &first : &second;
        Launch &winner = refused == &first ? second : first;
        EXPECT_EQ(refused->wait(), kNoSlot) << refused->describe();
        EXPECT_EQ(refused->err(), "sorvikctl run: refused: 1 copy of " + job + " runs, 1 permitted\n");

        const pid_t child = awaitStart(command, static_cast<size_t>(round));
        ASSERT_GT(child, 0) << "the winner's command never started\n" << winner.describe();
        EXPECT_FALSE(winner.ended()) << winner.describe();
        kill(child, SIGTERM);
        EXPECT_EQ(winner.wait(), 128 + SIGTERM) << winner.describe();
        EXPECT_EQ(started(command).size(), static_cast<size_t>(round)) << "exactly one command started";
    }
}

TEST_F(SorvikctlRun, GivesBackTheCommandsStatus) {
    const struct {
        std::string body;
        int status;
    } cases[] = {
        {"exit 0", 0},
        {"exit 7", 7},
        {"exit 200", 200},
        {"kill -TERM $$", 128 + SIGTERM},
        {"kill -KILL $$", 128 + SIGKILL},
    };
    for (const auto &c : cases) {
        const std::string path = script(job, c.body);
        Launch run({"run", job, "--", path, "an argument"});
        EXPECT_EQ(run.wait(), c.status) << c.body << "\n" << run.describe();
        EXPECT_EQ(run.err(), "") << run.describe();
    }
    // After every one of them the slot is free again.
    Launch last({"run", job, "--", script(job, "exit 3")});
    EXPECT_EQ(last.wait(), 3) << last.describe();
}

TEST_F(SorvikctlRun, ACommandThatCannotRunGetsTheShellsStatus) {
    const std::string missing = jobs + "/" + job;
    const std::string notExecutable = jobs + "/plain/" + job;
    std::filesystem::create_directory(jobs + "/plain");
    test::writeFile(notExecutable, "not a program\n");
    const struct {
        std::string command;
        int status;
        std::string why;
    } cases[] = {
        {missing, 127, "No such file or directory"},
        {notExecutable, 126, "Permission denied"},
    };
    for (const auto &c : cases) {
        Launch run({"run", job, "--", c.command});
        EXPECT_EQ(run.wait(), c.status) << run.describe();
        EXPECT_EQ(run.err(), "sorvikctl run: cannot run " + c.command + ": " + c.why + "\n") << run.describe();
    }
    Launch after({"run", job, "--", script(job, "exit 0")});
    EXPECT_EQ(after.wait(), 0) << "the slot was given back\n" << after.describe();
}

TEST_F(SorvikctlRun, PassesSignalsToTheCommand) {
    const std::string trapper = uniqueName("trapper");
    useTable(job + " 0 1 0 0\n" + trapper + " 0 1 0 0\n");
    const std::string waiting = script(job, "read line < \"$0.fifo\"");
    size_t starts = 0;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal));
        Launch run({"run", job, "--", waiting});
        ASSERT_GT(awaitStart(waiting, ++starts), 0) << run.describe();
        kill(run.pid(), signal);
        EXPECT_EQ(run.wait(), 128 + signal) << run.describe();
    }
    // A command that handles the signal ends with its own status.
    const std::string handling = script(trapper, "trap 'exit 42' TERM\nwhile :; do sleep 0.05; done");
    Launch run({"run", trapper, "--", handling});
    ASSERT_GT(awaitStart(handling), 0) << run.describe();
    kill(run.pid(), SIGTERM);
    EXPECT_EQ(run.wait(), 42) << run.describe();
}

// A signal sent to the launcher goes to a thread that does not block it; a
// helper thread that takes one discards SIGCHLD (the child is never reaped)
// or dies of SIGTERM (the slot is never given back). So the launcher's main
// thread is the only one that may take any of them.
TEST_F(SorvikctlRun, NoOtherThreadOfTheLauncherTakesItsSignals) {
    const std::string waiting = script(job, "read line < \"$0.fifo\"");
    Launch run({"run", job, "--", waiting});
    const pid_t child = awaitStart(waiting);
    ASSERT_GT(child, 0) << run.describe();
    const std::string tasks = "/proc/" + std::to_string(run.pid()) + "/task";
    for (const auto &task : std::filesystem::directory_iterator(tasks)) {
        if (task.path().filename() == std::to_string(run.pid())) continue;
        const std::string status = test::readFile(task.path().string() + "/status");
        const size_t at = status.find("SigBlk:");
        ASSERT_NE(at, std::string::npos) << status;
        const unsigned long long blocked = std::stoull(status.substr(at + 7), nullptr, 16);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
            EXPECT_TRUE(blocked & (1ULL << (signal - 1)))
                << "thread " << task.path().filename() << " may take " << strsignal(signal);
    }
    kill(child, SIGTERM);
    EXPECT_EQ(run.wait(), 128 + SIGTERM) << run.describe();
}

TEST_F(SorvikctlRun, TheSlotComesBackWhenTheCommandIsKilled) {
    const std::string waiting = script(job, "read line < \"$0.fifo\"");
    Launch holder({"run", job, "--", waiting});
    const pid_t child = awaitStart(waiting);
    ASSERT_GT(child, 0) << holder.describe();

    Launch refused({"run", job, "--", waiting});
    EXPECT_EQ(refused.wait(), kNoSlot) << refused.describe();

    kill(child, SIGKILL);
    EXPECT_EQ(holder.wait(), 128 + SIGKILL) << holder.describe();
    Launch next({"run", job, "--", script(job, "exit 0")});
    EXPECT_EQ(next.wait(), 0) << next.describe();
}

TEST_F(SorvikctlRun, WaitStartsOnceASlotFrees) {
    const std::string waiting = script(job, "read line < \"$0.fifo\"");
    Launch holder({"run", job, "--", waiting});
    const pid_t child = awaitStart(waiting);
    ASSERT_GT(child, 0) << holder.describe();

    Launch waiter({"run", "--wait=60", job, "--", waiting});
    // Meanwhile the waiter has neither started its command nor given up.
    Launch probe({"run", job, "--", waiting});
    EXPECT_EQ(probe.wait(), kNoSlot) << probe.describe();
    EXPECT_FALSE(waiter.ended()) << waiter.describe();
    EXPECT_EQ(started(waiting).size(), 1u);

    kill(child, SIGTERM);
    EXPECT_EQ(holder.wait(), 128 + SIGTERM) << holder.describe();
    const auto freed = std::chrono::steady_clock::now();
    const pid_t second = awaitStart(waiting, 2);
    ASSERT_GT(second, 0) << "the waiter never started its command\n" << waiter.describe();
    // Its pauses are at most a second long.
    EXPECT_LT(std::chrono::steady_clock::now() - freed, 5s);
    EXPECT_EQ(waiter.err(), "") << "no notice when standard error is not a terminal";
    kill(second, SIGTERM);
    EXPECT_EQ(waiter.wait(), 128 + SIGTERM) << waiter.describe();
}

TEST_F(SorvikctlRun, WaitNoticesACopyThatEndedWithoutALauncher) {
    test::Sleepers sleepers;
    const pid_t copy = sleepers.start(job);
    Launch ask({"can-execute", job});  // recounts: the copy holds the one slot
    ASSERT_EQ(ask.wait(), 1) << ask.describe();

    const std::string command = script(job, "exit 9");
    Launch waiter({"run", "--wait=60", job, "--", command});
    // Meanwhile the waiter has neither started its command nor given up.
    Launch probe({"run", job, "--", command});
    EXPECT_EQ(probe.wait(), kNoSlot) << probe.describe();
    EXPECT_FALSE(waiter.ended()) << waiter.describe();
    sleepers.stop(copy);
    EXPECT_EQ(waiter.wait(), 9) << waiter.describe();
}

TEST_F(SorvikctlRun, WaitGivesUpAfterItsLimitAndSaysOnceOnATerminalThatItWaits) {
    const std::string waiting = script(job, "read line < \"$0.fifo\"");
    Launch holder({"run", job, "--", waiting});
    ASSERT_GT(awaitStart(waiting), 0) << holder.describe();

    Launch quiet({"run", "--wait=0.5", job, "--", waiting});
    EXPECT_EQ(quiet.wait(), kNoSlot) << quiet.describe();
    EXPECT_EQ(quiet.err(), "sorvikctl run: gave up after 0.5s: 1 copy of " + job + " runs, 1 permitted\n");

    test::Program tool{{kCtl, "run", "--wait=1.5", job, "--", waiting}};
    tool.in = tool.out = tool.err = test::Stream::inherit();
    tool.onTerminal = true;
    tool.unset = {"LD_LIBRARY_PATH"};
    const test::Child waiter = test::startProgram(tool);
    ASSERT_GE(waiter.pid, 0);
    const pid_t pid = waiter.pid;
    const int terminal = waiter.fromChild;
    std::string shown;
    char buffer[512];
    for (;;) {
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 15000) <= 0) break;
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got <= 0) break;
        shown.append(buffer, static_cast<size_t>(got));
    }
    close(terminal);
    EXPECT_EQ(test::awaitExit(pid, 15s, "sorvikctl run --wait=1.5 on a terminal"), kNoSlot) << shown;
    const std::string occupied = "1 copy of " + job + " runs, 1 permitted\r\n";
    EXPECT_EQ(shown,
              "sorvikctl run: waiting for a slot: " + occupied + "sorvikctl run: gave up after 1.5s: " + occupied);
    EXPECT_EQ(started(waiting).size(), 1u);
}

TEST_F(SorvikctlRun, SaysWhenTheCommandWillNotCountAsACopy) {
    const std::string other = script("not-" + job, "exit 0");
    const std::string unknown = uniqueName("unknown");
    const struct {
        std::string name;
        std::string err;
    } cases[] = {
        {job, "sorvikctl run: warning: the command's process is named not-" + job + ", not " + job +
                  "; its slot lasts only until the next recount of " + job + "\n"},
        {unknown, "sorvikctl run: no record named " + unknown + " limits it; starting it without a slot\n"},
    };
    for (const auto &c : cases) {
        Launch run({"run", c.name, "--", other});
        EXPECT_EQ(run.wait(), 0) << run.describe();
        EXPECT_EQ(run.err(), c.err);
    }
    // The extension is not part of a process's name.
    Launch withExtension({"run", job, "--", script(job + ".sh", "exit 0")});
    EXPECT_EQ(withExtension.wait(), 0) << withExtension.describe();
    EXPECT_EQ(withExtension.err(), "");
}

TEST_F(SorvikctlRun, UsageErrorsStartNothing) {
    const std::string command = script(job, "exit 0");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"run", job}, "sorvikctl run: COMMAND is required"},
        {{"run", "--wait=0", job, "--", command},
         "sorvikctl run: --wait: '0' is not a number of seconds above 0 and at most 86400"},
        {{"run", "--wait=soon", job, "--", command},
         "sorvikctl run: --wait: 'soon' is not a number of seconds above 0 and at most 86400"},
        {{"metrics", "--output"}, "sorvikctl metrics: --output: 1 required TEXT missing"},
    };
    for (const auto &c : cases) {
        Launch run(c.args);
        EXPECT_EQ(run.wait(), 64) << run.describe();
        const std::string where = c.message.substr(0, c.message.find(':'));
        EXPECT_EQ(run.err(), c.message + "\nTry '" + where + " --help' for usage.\n") << run.describe();
    }
    EXPECT_TRUE(started(command).empty());
    for (const std::string name : {"run", "metrics"}) {
        Launch help({name, "--help"});
        EXPECT_EQ(help.wait(), 0) << help.describe();
        EXPECT_EQ(help.out().find("Usage: sorvikctl " + name + " "), help.out().find('\n') + 1) << help.out();
    }
}

// The metrics read back by Prometheus's own parser, as JSON.
const char kParse[] = R"(
import json, sys
from prometheus_client.parser import text_string_to_metric_families
text = open(sys.argv[1], 'rb').read().decode('utf-8')  # strict: invalid UTF-8 fails
families = []
for f in text_string_to_metric_families(text):
    families.append({'name': f.name, 'type': f.type, 'help': f.documentation,
                     'samples': [{'name': s.name, 'labels': s.labels, 'value': s.value} for s in f.samples]})
print(json.dumps({'families': families}))
)";

class SorvikctlMetrics : public SorvikctlRun {
  protected:
    test::JsonValue parse(const std::string &path) {
        const std::string program = jobs + "/parse.py";
        test::writeFile(program, kParse);
        int status = -1;
        const std::string out = test::runProgram({"/usr/bin/python3", program, path}, &status);
        EXPECT_EQ(status, 0) << "the parser refused:\n" << test::readFile(path);
        const auto document = test::parseJson(out);
        EXPECT_TRUE(document) << out;
        return document.value_or(test::JsonValue{});
    }
};

TEST_F(SorvikctlMetrics, PrometheusReadsEveryRecordWhateverItsName) {
    const std::string running = uniqueName("running");
    const std::string bad = uniqueName("bad"), sub = uniqueName("sub");
    const std::string badBytes = bad + "\xff\xfe-\xc3\xa9";
    const std::string quoted = uniqueName("say") + "\"hi\"";
    const std::string backslashed = "dir\\" + sub + "\\x41";
    useTable(running + " 1 3 0 0\n" + badBytes + " 2 2 0 0\n" + quoted + " 0 1 0 0\n" + backslashed + " 0 1 0 0\n");
    test::Sleepers sleepers;
    sleepers.start(running);
    const long before = static_cast<long>(std::time(nullptr));
    Launch active({"active", running});
    ASSERT_EQ(active.wait(), 0) << active.describe();
    Launch reset({"reset", quoted});
    ASSERT_EQ(reset.wait(), 0) << reset.describe();

    const std::string file = jobs + "/sorvik.prom";
    Launch metrics({"metrics", "--output", file});
    ASSERT_EQ(metrics.wait(), 0) << metrics.describe();
    EXPECT_EQ(metrics.out() + metrics.err(), "");
    Launch printed({"metrics"});
    ASSERT_EQ(printed.wait(), 0) << printed.describe();
    EXPECT_EQ(printed.out(), test::readFile(file)) << "the same text on standard output";

    const test::JsonValue document = parse(file);
    // The names as the format carries them: valid UTF-8, each stray byte
    // and each backslash that would read as such an escape written \xHH.
    const std::vector<std::string> labels{running, bad + "\\xff\\xfe-\xc3\xa9", quoted, "dir\\" + sub + "\\x5cx41"};
    const struct {
        std::string family;
        std::vector<double> values;  // per record; -1: no sample
    } expected[] = {
        {"sorvik_running_copies", {1, 0, 0, 0}},
        {"sorvik_permitted_copies", {3, 2, 1, 1}},
        {"sorvik_minimum_copies", {1, 2, 0, 0}},
        {"sorvik_below_minimum", {0, 1, 0, 0}},
        {"sorvik_last_active_timestamp_seconds", {static_cast<double>(before), -1, -1, -1}},
    };
    const auto &families = document["families"].items;
    ASSERT_EQ(families.size(), 6u) << printed.out();
    EXPECT_EQ(families[0]["name"].text, "sorvik_records");
    EXPECT_EQ(families[0]["type"].text, "gauge");
    EXPECT_EQ(families[0]["samples"][0]["value"].numeric, 4);
    for (size_t f = 0; f < 5; ++f) {
        const test::JsonValue &family = families[f + 1];
        SCOPED_TRACE(expected[f].family);
        EXPECT_EQ(family["name"].text, expected[f].family);
        EXPECT_EQ(family["type"].text, "gauge");
        EXPECT_NE(family["help"].text, "");
        size_t sample = 0;
        for (size_t r = 0; r < labels.size(); ++r) {
            if (expected[f].values[r] < 0) continue;
            const test::JsonValue &s = family["samples"][sample++];
            EXPECT_EQ(s["labels"]["name"].text, labels[r]);
            EXPECT_EQ(s["labels"]["index"].text, std::to_string(r));
            if (expected[f].family == "sorvik_last_active_timestamp_seconds") {
                EXPECT_GE(s["value"].numeric, before);
                EXPECT_LE(s["value"].numeric, before + 60);
            } else {
                EXPECT_EQ(s["value"].numeric, expected[f].values[r]) << labels[r];
            }
        }
        EXPECT_EQ(family["samples"].items.size(), sample) << printed.out();
    }
}

TEST_F(SorvikctlMetrics, OutputReplacesTheFileWhole) {
    const std::string file = jobs + "/sorvik.prom";
    test::writeFile(file, "old\n");
    chmod(file.c_str(), 0640);
    Launch printed({"metrics"});
    ASSERT_EQ(printed.wait(), 0) << printed.describe();
    const std::string text = printed.out();

    // A reader never sees anything but the old file or the new one, whole.
    std::atomic<bool> stop{false};
    std::vector<std::string> torn;
    std::thread reader([&] {
        while (!stop) {
            const std::string seen = test::readFile(file);
            if (seen != "old\n" && seen != text && torn.size() < 3) torn.push_back(seen);
        }
    });
    for (int i = 0; i < 20; ++i) {
        Launch write({"metrics", "--output", file});
        EXPECT_EQ(write.wait(), 0) << write.describe();
    }
    stop = true;
    reader.join();
    EXPECT_TRUE(torn.empty()) << "a reader saw:\n" << torn.front();
    EXPECT_EQ(test::readFile(file), text);
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u) << "the file keeps its mode";

    // A link stays a link; the file it leads to is replaced.
    const std::string link = jobs + "/link.prom";
    std::filesystem::create_symlink(file, link);
    test::writeFile(file, "old\n");
    Launch throughLink({"metrics", "--output", link});
    EXPECT_EQ(throughLink.wait(), 0) << throughLink.describe();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(test::readFile(file), text);

    // A write that fails leaves what was there, and no temporary.
    const std::string directory = jobs + "/taken.prom";
    std::filesystem::create_directory(directory);
    const struct {
        std::string path;
        std::string why;
    } failures[] = {
        {jobs + "/missing/sorvik.prom", "No such file or directory"},
        {directory, "Is a directory"},
    };
    for (const auto &f : failures) {
        Launch failed({"metrics", "--output", f.path});
        EXPECT_EQ(failed.wait(), 1) << failed.describe();
        EXPECT_EQ(failed.err(), "sorvikctl metrics: " + f.path + " could not be written: " + f.why +
                                    "; it is left as it was\n");
    }
    EXPECT_TRUE(std::filesystem::is_directory(directory));
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(jobs)) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"link.prom", "sorvik.prom", "taken.prom"}));
}

}  // namespace
}  // namespace sorvik

// sorvikctl: administers the table of controlled programs through the
// library's exported functions, as any client program would.
#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "commands.h"

namespace {

using namespace sorvikctl;

struct Arguments {
    std::string name;
    std::string text;
    int32_t min = 0;
    int32_t permit = 0;
    int32_t a = -1;
    int32_t b = 0;
    bool json = false;
    int count = 0;
    double interval = 1.0;
    std::string wait;  // "" without --wait, "true" for --wait alone, else its SECONDS
    std::vector<std::string> command;
    std::string output;
};

// A usage error changes nothing: one line naming the fault, one pointing to help.
int usageError(CLI::App &app, const CLI::ParseError &error) {
    const auto chosen = app.get_subcommands();
    std::string where = "sorvikctl";
    std::string what = error.what();
    if (!chosen.empty()) {
        where += " " + chosen.front()->get_name();
    } else if (!app.remaining().empty()) {
        what = "unknown command '" + app.remaining().front() + "'";
    } else if (dynamic_cast<const CLI::RequiredError *>(&error)) {
        what = "no command given";
    }
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for usage.\n", where.c_str(), what.c_str(), where.c_str());
    return kUsage;
}

// CLI11's own messages for these name the range as floating-point numbers.
const CLI::Validator kWholeNumber(
    [](std::string &text) -> std::string {
        int32_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc::result_out_of_range) return "'" + text + "' is out of range";
        if (error != std::errc() || end != text.data() + text.size()) return "'" + text + "' is not a whole number";
        return "";
    },
    "");

const CLI::Validator kPositive(
    [](std::string &text) -> std::string {
        const std::string whole = kWholeNumber(text);
        if (!whole.empty()) return whole;
        return std::stol(text) > 0 ? "" : "'" + text + "' is not above 0";
    },
    "POSITIVE");

const CLI::Validator kSeconds(
    [](std::string &text) -> std::string {
        char *end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(value > 0) || value > 86400)
            return "'" + text + "' is not a number of seconds above 0 and at most 86400";
        return "";
    },
    "SECONDS");

// CLI11 gives a flag without a value as "true": a wait with no limit.
const CLI::Validator kWaitSeconds(
    [](std::string &text) -> std::string { return text == "true" ? "" : kSeconds(text); }, "");

RunWait runWait(const std::string &text) {
    if (text.empty()) return RunWait{};
    return RunWait{true, text == "true" ? 0 : std::strtod(text.c_str(), nullptr)};
}

CLI::App *command(CLI::App &app, std::function<int()> &run, const std::string &name, const std::string &summary,
                  std::function<int()> body) {
    CLI::App *sub = app.add_subcommand(name, summary);
    sub->callback([&run, body] { run = body; });
    return sub;
}

void needName(CLI::App *sub, Arguments &args, const std::string &what) {
    sub->add_option("NAME", args.name, what)->required();
}

void needLimits(CLI::App *sub, Arguments &args) {
    sub->add_option("MIN", args.min, "copies that must run")->required()->check(kWholeNumber);
    sub->add_option("PERMIT", args.permit, "copies that may run at once")->required()->check(kWholeNumber);
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Administers the Sorvik table of controlled programs shared by the programs of this machine.",
                 "sorvikctl"};
    app.require_subcommand(1);
    app.footer("Exit status: add, modify and delete give the library's result (0 done, 1 refused, 2 no such record "
               "or name not storable, 3 not saved); can-execute, is-executing and must-reexecute give 0 for yes "
               "and 1 for no; active, msg and reset give 0, or 2 when no record has the name; run gives its "
               "command's status, or 250 when no slot was free; metrics gives 0, or 1 when it could not write; a "
               "usage error gives 64; 69 when this process cannot open the shared table (the message says why and "
               "how to mend it).");
    Arguments args;
    std::function<int()> run;

    CLI::App *list = command(app, run, "list", "Show the table, with the running copies recounted",
                             [&] { return listTable(args.json); });
    list->add_flag("--json", args.json, "print JSON for scripts");
    CLI::App *tasks = command(app, run, "tasks", "List the running processes",
                              [&] { return listTasks(false, args.json); });
    tasks->add_flag("--json", args.json, "print JSON for scripts");
    CLI::App *controlled = command(app, run, "controlled", "List the running processes the table controls",
                                   [&] { return listTasks(true, args.json); });
    controlled->add_flag("--json", args.json, "print JSON for scripts");
    CLI::App *watch = command(app, run, "watch", "Redraw the table every second until interrupted",
                              [&] { return watchTable(args.count, args.interval); });
    watch->add_option("--count", args.count, "stop after N redraws")->check(kPositive);
    watch->add_option("--interval", args.interval, "seconds between redraws (default 1)")->check(kSeconds);

    CLI::App *add = command(app, run, "add", "Add a record, or change the settings of the record of that name",
                            [&] { return addRecord(args.name, args.min, args.permit, args.a, args.b); });
    needName(add, args, "the program's name, as its processes are named (it may carry a directory)");
    needLimits(add, args);
    add->add_option("A", args.a, "first number kept for the caller (default -1)")->check(kWholeNumber);
    add->add_option("B", args.b, "second number kept for the caller (default 0)")->check(kWholeNumber);
    CLI::App *modify = command(app, run, "modify", "Change a record's limits",
                               [&] { return modifyRecord(args.name, args.min, args.permit); });
    needName(modify, args, "the record's name, without directory");
    needLimits(modify, args);
    CLI::App *remove = command(app, run, "delete", "Delete a record", [&] { return deleteRecord(args.name); });
    needName(remove, args, "the record's name, without directory");

    const struct {
        const char *name;
        const char *summary;
        Question question;
    } questions[] = {
        {"can-execute", "Exit 0 when another copy may start, else 1", Question::canExecute},
        {"is-executing", "Exit 0 when a copy runs, else 1", Question::isExecuting},
        {"must-reexecute", "Exit 0 when fewer copies run than the minimum, else 1", Question::mustReExecute},
    };
    for (const auto &q : questions) {
        const Question question = q.question;
        needName(command(app, run, q.name, q.summary, [&args, question] { return ask(question, args.name); }), args,
                 "the program's name");
    }
    needName(command(app, run, "active", "Record a liveness report for a program now",
                     [&] { return reportActive(args.name); }),
             args, "the program's name");
    CLI::App *msg = command(app, run, "msg", "Leave a message (up to 19 characters) for a program",
                            [&] { return leaveMessage(args.name, args.text); });
    needName(msg, args, "the program's name");
    msg->add_option("TEXT", args.text, "the message")->required();
    needName(command(app, run, "reset", "Clear a program's running count, message and liveness report",
                     [&] { return resetRunState(args.name); }),
             args, "the program's name");

    CLI::App *runIt = command(app, run, "run", "Take a slot of NAME, run COMMAND while holding it, give it back",
                              [&] { return runCommand(args.name, runWait(args.wait), args.command); });
    runIt->add_flag("--wait", args.wait, "when no slot is free, wait for one (at most SECONDS)")
            ->check(kWaitSeconds)
            ->option_text("[=SECONDS]");
    needName(runIt, args, "the program's name, as its record holds it");
    runIt->add_option("COMMAND", args.command, "the command and its arguments, after --")->required();
    runIt->footer("Exit status: COMMAND's own, 128+N when signal N ended it, 126 or 127 when it cannot be run, "
                  "125 when run itself failed, 250 when no slot was free (or none freed within SECONDS).");
    CLI::App *metrics = command(app, run, "metrics", "Write the table in the Prometheus text format",
                                [&] { return writeMetrics(args.output); });
    metrics->add_option("--output", args.output, "replace FILE whole instead of printing")->option_text("FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return usageError(app, e);
    }
    // The check takes the table's lock like any call, so the watch starts first.
    watchTheLock();
    if (const int status = checkAttachment()) return status;
    return run();
}

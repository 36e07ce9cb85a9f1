// kest: command-line front end to the kest library.  Each subcommand lives
// in its own file; this one only picks it and turns thrown usage errors and
// exhausted memory into exit statuses.
#include <algorithm>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "audit.h"
#include "command.h"
#include "data_set.h"
#include "lock.h"
#include "options.h"

namespace kest_cli {

namespace {

// The subcommands, in the order the overview lists them.
const Command* const commands[] = {
    &convert_command,
    &export_command,
    &show_command,
    &waid_command,
    &tssom_command,
    &impute_command,
    &tree_command,
    &outliers_command,
    &summary_command,
    &report_command,
    &view_command,
    &log_command,
};

const Command* find_command(std::string_view name)
{
    for (const Command* c : commands)
        if (c->name == name) return c;
    return nullptr;
}

void print_overview(std::ostream& out)
{
    out << "usage: kest COMMAND [arguments]\n"
           "\n"
           "Statistical editing and imputation of survey data.\n"
           "\n"
           "commands:\n";
    std::size_t width = 4;
    for (const Command* c : commands) width = std::max(width, c->name.size());
    for (const Command* c : commands)
        out << "  " << c->name << std::string(width - c->name.size() + 2, ' ') << c->summary << "\n";
    out << "  help" << std::string(width - 4 + 2, ' ') << "print this text, or a command's usage: kest help COMMAND\n";
    out << "\n"
           "Every command but convert takes --wait SECONDS: how long to wait for another\n"
           "process that is changing the data set (default "
        << KEST_LOCK_WAIT_DEFAULT_MS / 1000
        << "). A command that only reads a data set\n"
           "keeps it from being changed while it reads; one that changes it keeps other\n"
           "processes out from its first read to its last write.\n"
           "\n"
           "Every command that changes a data set (impute, outliers, waid, tssom, tree\n"
           "--impute) appends one row per changed cell to its audit log NAME.audit.csv\n"
           "beside the data file: when,command,record,variable,old_status,old_value,\n"
           "new_status,new_value,method,donor.  When the log cannot be appended after\n"
           "the data set was changed, the command says so on standard error, lists the\n"
           "rows there and exits with status 1; the change stays.  kest log prints the\n"
           "log, kest export --original gives the first values back.\n";
    for (const Command* c : commands) out << "\n" << c->usage;
}

bool asks_for_help(const std::vector<std::string>& args)
{
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

int run(const std::vector<std::string>& args)
{
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || (args[0] == "help" && args.size() == 1)) {
        print_overview(std::cout);
        return exit_ok;
    }
    if (args[0] == "help") {
        const Command* c = find_command(args[1]);
        if (c == nullptr) {
            std::cerr << "kest: unknown command '" << args[1] << "'\n\n";
            print_overview(std::cerr);
            return exit_usage;
        }
        std::cout << c->usage;
        return exit_ok;
    }
    const Command* command = find_command(args[0]);
    if (command == nullptr) {
        std::cerr << "kest: unknown command '" << args[0] << "'\n\n";
        print_overview(std::cerr);
        return exit_usage;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    set_command_line(args);
    if (asks_for_help(rest)) {
        std::cout << command->usage;
        return exit_ok;
    }
    try {
        // The converter's library routine waits for the lock by itself.
        if (command != &convert_command) rest = take_wait_option(rest);
        return command->run(rest);
    } catch (const UsageError& e) {
        std::cerr << "kest " << command->name << ": " << e.what() << "\n\n" << command->usage;
        return exit_usage;
    } catch (const DataSetFailure& failure) {
        // Whatever stage of a command finds the data set unusable, the
        // message has the one form "kest NAME: message" and exit status 1.
        std::cerr << "kest " << command->name << ": " << failure.message << "\n";
        return exit_failure;
    }
}

}  // namespace

}  // namespace kest_cli

int main(int argc, char** argv)
{
    try {
        return kest_cli::run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::bad_alloc&) {
        std::cerr << "kest: out of memory\n";
        return kest_cli::exit_failure;
    }
}

// A subcommand of the kest tool.  Adding one means writing its file, which
// defines a Command, and listing it in the table in main.cpp.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace kest_cli {

// Exit statuses shared by all subcommands.
constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

struct Command {
    std::string_view name;
    std::string_view summary;  // one line for the overview
    std::string_view usage;    // full usage text, ending in a line feed
    // Receives the arguments after the subcommand's name.  Usage errors are
    // thrown as UsageError (options.h); other failures are reported by the
    // command itself and returned as exit_failure.
    int (*run)(std::span<const std::string> args);
};

extern const Command convert_command;
extern const Command show_command;
extern const Command waid_command;
extern const Command tssom_command;
extern const Command impute_command;
extern const Command tree_command;
extern const Command outliers_command;
extern const Command summary_command;
extern const Command view_command;
extern const Command export_command;
extern const Command log_command;
extern const Command report_command;

}  // namespace kest_cli

// Command-line parsing shared by the subcommands: long options with values,
// positional arguments, and strict conversion of numbers, so that a typo is
// reported instead of silently becoming a default.
#pragma once

#include <limits>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kest_cli {

// A mistake in how the tool was called; reported with the usage text and
// exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct KnownOption {
    std::string_view name;  // with its leading dashes, e.g. "--out"
    bool repeatable = false;
};

// Every option takes a value, given as "--opt VALUE" or "--opt=VALUE".
class ParsedArgs {
public:
    std::vector<std::string> positional;
    bool help = false;  // --help or -h was given

    // The one positional argument, named `what` in the usage error thrown
    // when it is missing or followed by another.
    const std::string& the_one(std::string_view what) const;
    bool has(std::string_view option) const;
    // The single value of an option that is not repeatable; null when absent.
    const std::string* value(std::string_view option) const;
    // All values of a repeatable option, in the order given.
    const std::vector<std::string>& values(std::string_view option) const;

    std::map<std::string, std::vector<std::string>, std::less<>> options;
};

// Throws UsageError naming an unknown option, a missing value or an option
// given twice that may be given only once.  "--" ends the options.
ParsedArgs parse_args(std::span<const std::string> args, std::span<const KnownOption> known);

// The parser gives every option a value, so a switch (an option that takes
// none, such as --dry-run) is taken out of the arguments before they reach
// it; given tells whether it was there.  The value of a known option stays
// with it, even when it looks like the switch.  Throws UsageError when the
// switch is given twice or with a value.
std::vector<std::string> take_switch(std::span<const std::string> args, std::string_view name,
                                     std::span<const KnownOption> known, bool& given);

// Strict conversions: the whole text must be the number, within the range.
long long parse_whole(std::string_view text, std::string_view what, long long low, long long high);
double parse_real(std::string_view text, std::string_view what);

// Splits at every separator; "a,,b" gives three parts, the middle one empty.
std::vector<std::string> split(std::string_view text, char separator);

}  // namespace kest_cli

#include "options.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace kest_cli {

bool ParsedArgs::has(std::string_view option) const { return options.find(option) != options.end(); }

const std::string* ParsedArgs::value(std::string_view option) const
{
    const auto it = options.find(option);
    return it == options.end() ? nullptr : &it->second.front();
}

const std::vector<std::string>& ParsedArgs::values(std::string_view option) const
{
    static const std::vector<std::string> none;
    const auto it = options.find(option);
    return it == options.end() ? none : it->second;
}

namespace {

const KnownOption* find_option(std::span<const KnownOption> known, std::string_view name)
{
    for (const KnownOption& option : known)
        if (option.name == name) return &option;
    return nullptr;
}

}  // namespace

const std::string& ParsedArgs::the_one(std::string_view what) const
{
    if (positional.empty()) throw UsageError("no " + std::string(what) + " given");
    if (positional.size() > 1) throw UsageError("unexpected argument '" + positional[1] + "'");
    return positional[0];
}

ParsedArgs parse_args(std::span<const std::string> args, std::span<const KnownOption> known)
{
    ParsedArgs parsed;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // A lone "-" is an ordinary argument (it is a valid file name).
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const KnownOption* option = find_option(known, name);
        if (option == nullptr) throw UsageError("unknown option '" + name + "'");
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else {
            if (i + 1 >= args.size()) throw UsageError("option '" + name + "' needs a value");
            value = args[++i];
        }
        std::vector<std::string>& slot = parsed.options[name];
        if (!slot.empty() && !option->repeatable) throw UsageError("option '" + name + "' is given more than once");
        slot.push_back(std::move(value));
    }
    return parsed;
}

std::vector<std::string> take_switch(std::span<const std::string> args, std::string_view name,
                                     std::span<const KnownOption> known, bool& given)
{
    std::vector<std::string> rest;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!options_ended) {
            if (arg == "--") {
                options_ended = true;
            } else if (arg == name) {
                if (given) throw UsageError("option '" + std::string(name) + "' is given more than once");
                given = true;
                continue;
            } else if (arg.rfind(std::string(name) + "=", 0) == 0) {
                throw UsageError("option '" + std::string(name) + "' takes no value");
            } else if (find_option(known, arg) != nullptr && i + 1 < args.size()) {
                rest.push_back(arg);
                rest.push_back(args[++i]);
                continue;
            }
        }
        rest.push_back(arg);
    }
    return rest;
}

long long parse_whole(std::string_view text, std::string_view what, long long low, long long high)
{
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < low || value > high) {
        throw UsageError(std::string(what) + " must be a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + std::string(text) + "'");
    }
    return value;
}

double parse_real(std::string_view text, std::string_view what)
{
    const std::string copy(text);
    char* stop = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &stop);
    if (copy.empty() || stop != copy.c_str() + copy.size() || errno == ERANGE || !std::isfinite(value))
        throw UsageError(std::string(what) + " must be a finite number, not '" + copy + "'");
    return value;
}

std::vector<std::string> split(std::string_view text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.emplace_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

}  // namespace kest_cli

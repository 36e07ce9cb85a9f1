// kest outliers: finds the records of a data set that lie far from the
// bulk of the records on chosen numeric variables (bacon) and marks their
// cells of those variables Suspect in the data file.
//
// bacon returns a membership value per record: a member of the final basic
// subset, a record outside it (an outlier), or a record it left out.  The
// tool turns the outliers into a list of their observed cells; missing
// cells stay missing, and a record that has none of the variables is not
// judged at all.
#include <algorithm>
#include <charconv>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "audit.h"
#include "cell_status.h"
#include "command.h"
#include "data_set.h"
#include "lock.h"
#include "messages.h"
#include "options.h"
#include "records.h"
#include "table.h"

namespace kest_cli {

namespace {

constexpr std::string_view outliers_usage =
    "usage: kest outliers DATAFILE [options]\n"
    "\n"
    "Finds multivariate outliers among the records of a data set with the\n"
    "BACON method and marks their cells of the examined variables Suspect in\n"
    "the data file; missing cells stay missing.  Starting from the records\n"
    "closest to the centre, it grows a basic subset of records whose\n"
    "Mahalanobis distance from the subset's centre stays below a corrected\n"
    "chi-square cutoff; the records left outside are the outliers.  Missing\n"
    "cells are completed by EM for the estimates.  The observed values - the\n"
    "cells marked Valid or Validn - are judged and marked, unless --values\n"
    "all is given.  Prints the outlying records with their values and their\n"
    "count.\n"
    "\n"
    "options:\n"
    "  --variable VAR      a numeric variable to examine; may be given more\n"
    "                      than once or as a list A,B,... (default: every\n"
    "                      numeric variable)\n"
    "  --alpha X           the share of outliers expected among clean data:\n"
    "                      the cutoff is the chi-square point at 1 - X/N for\n"
    "                      N usable records; between 0 and 1 (default: 0.05)\n"
    "  --size-factor C     the starting subset holds C records per variable\n"
    "                      (default: 4)\n"
    "  --start MODE        how the starting subset is chosen: em (or 1), the\n"
    "                      records closest by Mahalanobis distance after EM\n"
    "                      has completed the data; median (or 2), the\n"
    "                      records closest to the medians; complete (or 0),\n"
    "                      as median, but records with a missing value are\n"
    "                      left out and never judged (default: complete;\n"
    "                      em and median also judge a record that lacks a\n"
    "                      value, measured with a zero deviation in that\n"
    "                      variable against the covariance of all of them,\n"
    "                      which overstates its distance when the variables\n"
    "                      are correlated)\n"
    "  --values WHICH      observed (default): cells marked Valid or Validn\n"
    "                      are values, the others count as missing; all:\n"
    "                      every cell that holds a number, whatever its\n"
    "                      status\n"
    "  --weight VAR        numeric variable of record weights, 0 or more, for\n"
    "                      the estimates; a record of weight 0 takes no part\n"
    "                      and is not judged (default: every record weighs 1)\n"
    "  --dry-run           print the outlying records, write nothing\n"
    "  --schema FILE       schema of the data file (default: the one the\n"
    "                      data file names, looked up beside the data file\n"
    "                      first)\n"
    "  --stylesheet FILE   stylesheet the rewritten data file names\n"
    "                      (default: the one the data file names, found the\n"
    "                      same way)\n";

constexpr KnownOption outliers_options[] = {{"--variable", true}, {"--alpha"},  {"--size-factor"},
                                            {"--start"},          {"--schema"}, {"--stylesheet"},
                                            {"--values"},         {"--weight"}};
constexpr std::string_view dry_run_switch = "--dry-run";

// Keeps the starting subset's size, the size factor times the number of
// variables, well within an int for any number of variables a data set can
// have.
constexpr int max_size_factor = 1000000;

enum class Start { em = 1, median = 2, complete = 0 };

struct Settings {
    std::string data_file, schema, stylesheet;
    std::vector<std::string> variables;  // none: every numeric variable
    double alpha = 0.05;
    int size_factor = 4;
    Start start = Start::complete;
    bool dry_run = false;
    ValuesUsed values = ValuesUsed::observed;
    std::string weight;  // empty: none
};

// ---------------------------------------------------------------------------
// Reading the command line

Start start_named(const std::string& text)
{
    if (text == "em" || text == "1") return Start::em;
    if (text == "median" || text == "2") return Start::median;
    if (text == "complete" || text == "0") return Start::complete;
    throw UsageError("--start must be em, median or complete, not '" + text + "'");
}

std::string start_name(Start start)
{
    switch (start) {
    case Start::em: return "em";
    case Start::median: return "median";
    case Start::complete: return "complete";
    }
    return "";
}

Settings parse_settings(std::span<const std::string> args)
{
    Settings s;
    const std::vector<std::string> rest = take_switch(args, dry_run_switch, outliers_options, s.dry_run);
    const ParsedArgs parsed = parse_args(rest, outliers_options);
    s.data_file = parsed.the_one("data file");
    if (const std::string* v = parsed.value("--schema")) s.schema = *v;
    if (const std::string* v = parsed.value("--stylesheet")) s.stylesheet = *v;
    s.variables = parsed.values("--variable");
    if (const std::string* v = parsed.value("--alpha")) {
        s.alpha = parse_real(*v, "--alpha");
        if (!(s.alpha > 0 && s.alpha < 1)) throw UsageError("--alpha must lie between 0 and 1, not '" + *v + "'");
    }
    if (const std::string* v = parsed.value("--size-factor"))
        s.size_factor = static_cast<int>(parse_whole(*v, "--size-factor", 1, max_size_factor));
    if (const std::string* v = parsed.value("--start")) s.start = start_named(*v);
    s.values = values_used(parsed.value("--values"));
    if (const std::string* v = parsed.value("--weight")) {
        if (v->empty()) throw UsageError("--weight needs a variable name");
        s.weight = *v;
    }
    return s;
}

// ---------------------------------------------------------------------------
// Detection

// The examined variables of every record, row-major, so that bacon counts
// only them as its variables.
std::vector<double> examined_matrix(const Records& rec, const std::vector<int>& columns)
{
    std::vector<double> m;
    m.reserve(static_cast<std::size_t>(rec.count) * columns.size());
    for (int r = 0; r < rec.count; ++r)
        for (int j : columns) m.push_back(rec.at(r, j));
    return m;
}

bool has_none(const Records& rec, int r, const std::vector<int>& columns)
{
    return std::all_of(columns.begin(), columns.end(), [&](int j) { return rec.at(r, j) == missing_code; });
}

bool is_complete(const Records& rec, int r, const std::vector<int>& columns)
{
    return std::none_of(columns.begin(), columns.end(), [&](int j) { return rec.at(r, j) == missing_code; });
}

// The count bacon measures its starting subset against: with the em start
// the records less the missing cells taken as records of k cells (a part
// counted whole), otherwise the complete records.
long usable_count(const Records& rec, const std::vector<int>& columns, Start start)
{
    long complete = 0, missing = 0;
    for (int r = 0; r < rec.count; ++r) {
        complete += is_complete(rec, r, columns) ? 1 : 0;
        for (int j : columns) missing += rec.at(r, j) == missing_code ? 1 : 0;
    }
    const long k = static_cast<long>(columns.size());
    return start == Start::em ? rec.count - (missing + k - 1) / k : complete;
}

std::vector<double> memberships(const Settings& s, const Records& rec, const std::vector<int>& columns,
                                const std::vector<double>& weights)
{
    const int k = static_cast<int>(columns.size());
    std::vector<double> m = examined_matrix(rec, columns);
    std::vector<int> include(columns.size(), 1);
    std::vector<double> member(static_cast<std::size_t>(rec.count), 0.0);
    int error[2] = {0, 0};
    bacon(rec.count, k, include.data(), m.data(), missing_code, s.size_factor, s.alpha, static_cast<int>(s.start),
          member.data(), weights.empty() ? nullptr : weights.data(), error);
    if (error[0] > 0) {
        MessageContext context;
        context.data_file = rec.files.data;
        context.schema_file = rec.files.schema;
        for (int j : columns) context.variables.push_back(rec.vars.names[static_cast<std::size_t>(j)]);
        constexpr int start_too_large = 11;
        if (error[0] == start_too_large)
            context.reason = std::to_string(s.size_factor) + " x " + std::to_string(k) + " = " +
                             std::to_string(static_cast<long>(s.size_factor) * k) + " starting records, " +
                             std::to_string(usable_count(rec, columns, s.start)) +
                             " usable; give a smaller --size-factor";
        throw DataSetFailure{describe_failure(Export::bacon, error[0], error[1], context) + "; nothing was written"};
    }
    return member;
}

// ---------------------------------------------------------------------------
// Reporting and marking

// bacon's membership values of a record outside the final subset and of
// one it left out; a member holds its weight, 1.
constexpr double outside_mark = 0.0;
constexpr double left_out_mark = -1.0;

struct Findings {
    std::vector<int> outliers;  // records, in order
    long left_out = 0;          // start complete: records with a missing value
    long unjudged = 0;          // records without any of the variables
    std::vector<Cell> cells;    // the outliers' observed cells
};

Findings findings_of(const Records& rec, const std::vector<int>& columns, const std::vector<double>& member,
                     const std::vector<double>& weights)
{
    Findings f;
    for (int r = 0; r < rec.count; ++r) {
        const double m = member[static_cast<std::size_t>(r)];
        // A record of weight 0 takes no part, so its membership says nothing.
        if (!weights.empty() && weights[static_cast<std::size_t>(r)] == 0) {
            ++f.unjudged;
            continue;
        }
        if (m == left_out_mark) {
            ++f.left_out;
        } else if (m == outside_mark) {
            if (has_none(rec, r, columns)) {
                ++f.unjudged;
                continue;
            }
            f.outliers.push_back(r);
            for (int j : columns)
                if (rec.at(r, j) != missing_code) f.cells.push_back({r, j, rec.at(r, j)});
        }
    }
    return f;
}

// The shortest text that reads back as the same number.
std::string value_text(double v)
{
    if (v == missing_code) return "missing";
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, v);
    return error == std::errc() ? std::string(buffer, end) : "?";
}

void print_outliers(const Records& rec, const std::vector<int>& columns, const Findings& f)
{
    if (f.outliers.empty()) return;
    Table t{{"record"}, {true}, {}};
    for (int j : columns) {
        t.header.push_back(rec.vars.names[static_cast<std::size_t>(j)]);
        t.right_aligned.push_back(true);
    }
    for (int r : f.outliers) {
        std::vector<std::string> row{std::to_string(r + 1)};
        for (int j : columns) row.push_back(value_text(rec.at(r, j)));
        t.rows.push_back(std::move(row));
    }
    print_table(std::cout, t);
}

int find_outliers(const Settings& s)
{
    const DataSetHold held = hold_data_set(s.data_file, s.schema, s.dry_run ? Access::read : Access::change);
    const Records all = read_records(s.data_file, s.schema, s.stylesheet);
    const FittingData fit = fitting_data(all, s.values);
    const Records& rec = fit.values;
    std::vector<int> columns = numeric_columns(rec.vars, s.variables, "the variable to examine");
    const int weight = s.weight.empty() ? -1 : weight_column(rec, s.weight);
    if (weight >= 0 && std::find(columns.begin(), columns.end(), weight) != columns.end()) {
        if (!s.variables.empty()) throw UsageError("the weight variable '" + s.weight + "' is also a variable to examine");
        std::erase(columns, weight);
        if (columns.empty()) throw DataSetFailure{"the data set has no numeric variable besides the weight"};
    }
    const std::vector<double> weights = weight >= 0 ? record_weights(rec, weight) : std::vector<double>{};
    const std::vector<double> member = memberships(s, rec, columns, weights);
    const Findings f = findings_of(rec, columns, member, weights);
    std::optional<AuditLog> log;
    if (!s.dry_run) log.emplace(all.files.data);

    print_outliers(rec, columns, f);
    std::cout << "found " << f.outliers.size() << " outlying records among " << rec.count << " (alpha " << s.alpha
              << ", size factor " << s.size_factor << ", start " << start_name(s.start) << ")\n";
    if (f.left_out > 0) std::cout << f.left_out << " records with a missing value were left out\n";
    if (f.unjudged > 0)
        std::cout << f.unjudged << " records without any of the variables" << (weights.empty() ? "" : " or of weight 0")
                  << " were not judged\n";
    if (s.dry_run) {
        std::cout << "nothing was written (--dry-run)\n";
        return exit_ok;
    }
    const long written =
        f.cells.empty() ? 0 : write_cells(all, f.cells, KEST_STATUS_SUSPECT, "outliers", "suspect cells");
    const bool logged = f.cells.empty() || log->record_changes(all, CellStates{all.data, fit.statuses},
                                                               [](int, int) { return CellSource{"bacon"}; }, "outliers");
    std::cout << "marked " << written << " cells Suspect in " << s.data_file << "\n";
    return written == static_cast<long>(f.cells.size()) && logged ? exit_ok : exit_failure;
}

int run_outliers(std::span<const std::string> args)
{
    const Settings settings = parse_settings(args);
    return find_outliers(settings);
}

}  // namespace

const Command outliers_command{"outliers", "find multivariate outliers and mark their cells Suspect", outliers_usage,
                               run_outliers};

}  // namespace kest_cli

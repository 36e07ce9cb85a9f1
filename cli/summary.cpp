// kest summary: what the values of a data set look like - per variable the
// number of values and, for a numeric variable, their mean, deviation and
// extremes, for a categorical one the frequency of each code (summ_stats) -
// and, on request, the same as an SVG bar chart (bar_chart).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "codebook.h"
#include "command.h"
#include "data_set.h"
#include "lock.h"
#include "markup.h"
#include "kest.h"
#include "messages.h"
#include "options.h"
#include "records.h"
#include "table.h"

namespace fs = std::filesystem;

namespace kest_cli {

namespace {

constexpr std::string_view summary_usage =
    "usage: kest summary DATAFILE [--values all|unflagged] [--schema FILE]\n"
    "                    [--chart FILE]\n"
    "\n"
    "Prints, per variable of a data set, how many records have a value and how\n"
    "many miss it; for a numeric variable also the mean, the standard deviation\n"
    "and the smallest and largest value, and for a categorical variable the\n"
    "frequency of each code (with its label when the codebook has one).  A\n"
    "numeric variable needs two values to be described.\n"
    "\n"
    "options:\n"
    "  --values WHICH  which cells are values: all, every cell that holds a\n"
    "                  number whatever its status (default), or unflagged,\n"
    "                  which leaves out the cells marked Suspect or Error\n"
    "  --schema FILE   schema of the data file (default: the one the data file\n"
    "                  names, looked up beside the data file first)\n"
    "  --chart FILE    also write an SVG bar chart to FILE (replaced if present):\n"
    "                  per variable, from top to bottom, a bar for each code of a\n"
    "                  categorical variable, or a histogram of up to 11 bins of a\n"
    "                  numeric one\n";

constexpr KnownOption summary_options[] = {{"--values"}, {"--schema"}, {"--chart"}};

// The reader's status limit that takes Valid, Validn and Imputed cells as
// values, and Suspect and Error cells as missing.
constexpr int unflagged_statuses = 2;

// Histograms have at most this many bins; a row of the tables holds them or
// the longest code list.
constexpr int most_bins = 11;

// The routine's code for a numeric variable with fewer than two values; it
// leaves that variable unwritten and goes on.
constexpr int too_few_values = 5;
constexpr int unknown_code = 10;

constexpr int unwritten = -1;

struct Summary {
    int a = 0;                // row length of codes, mids and freqs
    std::vector<int> ncat;    // after the call: -bins for a described numeric variable
    std::vector<int> codes;
    std::vector<double> mean, sd, min, max, mids;
    std::vector<int> n_obs, freqs;

    bool described(int j) const { return n_obs[static_cast<std::size_t>(j)] != unwritten; }
    const int* freq_row(int j) const { return freqs.data() + static_cast<std::ptrdiff_t>(j) * a; }
};

std::string number_text(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string code_list(const Variables& v, int j)
{
    std::string text;
    for (int k = 0; k < v.ncat[static_cast<std::size_t>(j)]; ++k)
        text += (k > 0 ? " " : "") + std::to_string(v.code_row(j)[k]);
    return text;
}

// The routine stops at the first categorical value that is none of its
// variable's codes.  It has written the variables before it, so the one at
// fault is the first categorical variable left unwritten, and the value the
// one after those it counted.
[[noreturn]] void report_unknown_code(const Records& rec, const Summary& s)
{
    const Variables& v = rec.vars;
    for (int j = 0; j < v.count(); ++j) {
        if (!v.categorical(j) || s.described(j)) continue;
        long counted = 0;
        for (int k = 0; k < v.ncat[static_cast<std::size_t>(j)]; ++k) counted += s.freq_row(j)[k];
        for (int r = 0; r < rec.count; ++r) {
            if (rec.at(r, j) == missing_code) continue;
            if (counted-- > 0) continue;
            throw DataSetFailure{"record " + std::to_string(r + 1) + " of '" + rec.files.data + "': " +
                                 v.names[static_cast<std::size_t>(j)] + " holds " + number_text(rec.at(r, j)) +
                                 ", which is not one of its codes (" + code_list(v, j) + ")"};
        }
    }
    throw DataSetFailure{"a categorical value is not one of its variable's codes"};
}

Summary summarise(const Records& rec)
{
    const Variables& v = rec.vars;
    const int nv = v.count();
    if (rec.count < nv)
        throw DataSetFailure{"a summary needs at least as many records as variables; '" + rec.files.data + "' has " +
                             std::to_string(rec.count) + " records and " + std::to_string(nv) + " variables"};
    Summary s;
    s.a = std::max(most_bins, v.row_length);
    const std::size_t nvs = static_cast<std::size_t>(nv);
    const std::size_t cells = nvs * static_cast<std::size_t>(s.a);
    s.ncat = v.ncat;
    s.codes.assign(cells, 0);
    for (int j = 0; j < nv; ++j)
        std::copy_n(v.code_row(j), v.ncat[static_cast<std::size_t>(j)],
                    s.codes.begin() + static_cast<std::ptrdiff_t>(j) * s.a);
    s.mean.assign(nvs, 0.0);
    s.sd.assign(nvs, 0.0);
    s.min.assign(nvs, 0.0);
    s.max.assign(nvs, 0.0);
    s.n_obs.assign(nvs, unwritten);
    s.mids.assign(cells, 0.0);
    s.freqs.assign(cells, 0);

    int error[2] = {0, 0};
    summ_stats(rec.count, nv, missing_code, rec.data.data(), s.ncat.data(), s.codes.data(), s.a, s.mean.data(),
               s.sd.data(), s.min.data(), s.max.data(), s.n_obs.data(), s.mids.data(), s.freqs.data(), error);
    if (error[0] == unknown_code) report_unknown_code(rec, s);
    if (error[0] == KEST_ERR_NO_MEMORY) throw DataSetFailure{"out of memory"};
    if (error[0] > 0 && error[0] != too_few_values)
        throw DataSetFailure{"the summary failed (code " + std::to_string(error[0]) + ", detail " +
                             std::to_string(error[1]) + ")"};
    return s;
}

// Reads the data set again with the cells marked Suspect or Error missing.
// The first reading has checked the files and found the longest code list.
void leave_out_flagged(Records& rec)
{
    DataSet d;
    size_data_set(rec.files, d);
    d.max_cats = std::max(1, rec.vars.row_length);
    d.codes.assign(static_cast<std::size_t>(d.num_vars) * static_cast<std::size_t>(d.max_cats), 0);
    std::vector<double> values(rec.data.size());
    int n_missing = 0;
    int error[2] = {0, 0};
    xml_read(rec.files.data.c_str(), rec.files.schema.c_str(), missing_code, rec.count, rec.vars.count(),
             values.data(), d.names.list, d.ncat.data(), d.codes.data(), d.max_cats, unflagged_statuses, &n_missing,
             error);
    if (error[0] > 0)
        throw DataSetFailure{describe_failure(Export::xml_read, error[0], error[1],
                                              MessageContext{{}, rec.files.data, rec.files.schema, {}, 0, {}, {}, 0, {}})};
    rec.data = std::move(values);
}

// ---------------------------------------------------------------------------
// Printing

void print_variables(const Records& rec, const Summary& s)
{
    Table t{{"variable", "type", "values", "missing", "mean", "deviation", "minimum", "maximum"},
            {false, false, true, true, true, true, true, true},
            {}};
    for (int j = 0; j < rec.vars.count(); ++j) {
        const std::size_t i = static_cast<std::size_t>(j);
        const bool categorical = rec.vars.categorical(j);
        long values = 0;
        for (int r = 0; r < rec.count; ++r) values += rec.at(r, j) != missing_code;
        std::vector<std::string> row{rec.vars.names[i], categorical ? "categorical" : "numeric", std::to_string(values),
                                     std::to_string(rec.count - values)};
        if (!categorical) {
            if (s.described(j)) {
                for (double x : {s.mean[i], s.sd[i], s.min[i], s.max[i]}) row.push_back(number_text(x));
            } else {
                row.insert(row.end(), 4, "-");
            }
        }
        t.rows.push_back(std::move(row));
    }
    print_table(std::cout, t);
}

// A variable with labels in the codebook gets a column of them.
void print_frequencies(const Records& rec, const Summary& s, int j, const Codebook& book)
{
    const std::size_t i = static_cast<std::size_t>(j);
    const bool labelled = book.has_labels(rec.vars.names[i]);
    Table t{{rec.vars.names[i], "count", "percent"}, {true, true, true}, {}};
    if (labelled) {
        t.header.push_back("label");
        t.right_aligned.push_back(false);
    }
    const int values = s.n_obs[i];
    for (int k = 0; k < rec.vars.ncat[i]; ++k) {
        const int count = s.freq_row(j)[k];
        char percent[24] = "-";
        if (values > 0) std::snprintf(percent, sizeof percent, "%.1f", 100.0 * count / values);
        const int code = rec.vars.code_row(j)[k];
        t.rows.push_back({std::to_string(code), std::to_string(count), percent});
        if (labelled) {
            const std::string* label = book.label_of(rec.vars.names[i], code);
            t.rows.back().push_back(label != nullptr ? *label : "");
        }
    }
    std::cout << "\n";
    print_table(std::cout, t);
}

// ---------------------------------------------------------------------------
// The chart

// The routine's svg element carries no namespace, which viewers that take
// the file on its own need to show it as a picture; the tool adds it.
void add_svg_namespace(const std::string& path)
{
    std::ostringstream text;
    {
        std::ifstream in(path, std::ios::binary);
        text << in.rdbuf();
    }
    std::string svg = text.str();
    const std::string plain = "\n<svg viewBox=";
    const std::size_t at = svg.find(plain);
    if (at == std::string::npos) throw DataSetFailure{"the chart '" + path + "' has no svg element"};
    svg.replace(at, plain.size(), "\n<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << svg;
    out.close();
    if (!out) throw DataSetFailure{"the chart '" + path + "' could not be written completely (is the disk full?)"};
}

std::string describe_chart_failure(int code, int detail, const std::string& path)
{
    if (code == 1 && detail == 1) return "cannot create the chart '" + path + "'";
    if (code == 1 && detail == 2) return "the chart '" + path + "' could not be written completely (is the disk full?)";
    if (code == KEST_ERR_NO_MEMORY) return "out of memory";
    return "drawing the chart '" + path + "' failed (code " + std::to_string(code) + ", detail " +
           std::to_string(detail) + ")";
}

// Draws every variable that has something to show: a numeric variable with
// a histogram, a categorical one with at least one value.  Returns how many.
int write_chart(const std::string& path, const Records& rec, const Summary& s)
{
    const int nv = rec.vars.count();
    std::vector<std::string> names;
    // The routine writes names as they are; they are escaped so that the
    // chart stays well-formed whatever a name holds.
    for (const std::string& n : rec.vars.names) names.push_back(markup_escaped(n));
    std::vector<char*> name_list;
    for (std::string& n : names) name_list.push_back(n.data());
    std::vector<int> counts = s.ncat;
    int drawn = 0;
    for (int j = 0; j < nv; ++j) {
        int& c = counts[static_cast<std::size_t>(j)];
        const bool has_value = std::any_of(s.freq_row(j), s.freq_row(j) + std::abs(c), [](int f) { return f > 0; });
        if (!s.described(j) || !has_value) c = 0;
        drawn += c != 0;
    }
    int height = 0;
    int error[2] = {0, 0};
    bar_chart(path.c_str(), nv, name_list.data(), counts.data(), s.codes.data(), s.freqs.data(), s.a, s.mids.data(),
              &height, error);
    if (error[0] != 0) {
        std::error_code ec;
        if (!(error[0] == 1 && error[1] == 1)) fs::remove(path, ec);
        throw DataSetFailure{describe_chart_failure(error[0], error[1], path)};
    }
    add_svg_namespace(path);
    return drawn;
}

// A chart written over the data file (or its schema) would destroy it.
void refuse_own_files(const std::string& chart, const Records& rec)
{
    std::error_code ec;
    for (const std::string& own : {rec.files.data, rec.files.schema})
        if (fs::equivalent(chart, own, ec))
            throw UsageError("--chart '" + chart + "' would replace the data set's file '" + own + "'");
}

int run_summary(std::span<const std::string> args)
{
    const ParsedArgs parsed = parse_args(args, summary_options);
    const std::string& data_file = parsed.the_one("data file");
    const std::string* chart = parsed.value("--chart");
    if (chart != nullptr && chart->empty()) throw UsageError("--chart needs a file name");
    const std::string* which = parsed.value("--values");
    if (which != nullptr && *which != "all" && *which != "unflagged")
        throw UsageError("--values must be all or unflagged, not '" + *which + "'");
    const bool unflagged = which != nullptr && *which == "unflagged";
    const std::string* schema = parsed.value("--schema");
    // Nothing is written back, so the stylesheet is not looked for.
    const DataSetHold held = hold_data_set(data_file, schema != nullptr ? *schema : "", Access::read);
    Records rec = read_records(data_file, schema != nullptr ? *schema : "", "unused");
    if (chart != nullptr) refuse_own_files(*chart, rec);
    if (unflagged) leave_out_flagged(rec);
    const Summary s = summarise(rec);
    const Codebook book = read_codebook(data_file);

    std::cout << "data file  " << rec.files.data << "\n"
              << "records    " << rec.count << "\n"
              << "values     "
              << (unflagged ? "cells marked Suspect or Error left out" : "every cell with a number") << "\n\n";
    print_variables(rec, s);
    for (int j = 0; j < rec.vars.count(); ++j)
        if (rec.vars.categorical(j)) print_frequencies(rec, s, j, book);
    if (chart != nullptr) {
        const int drawn = write_chart(*chart, rec, s);
        std::cout << "\nchart      " << *chart << " (" << drawn << " of " << rec.vars.count()
                  << " variables drawn)\n";
    }
    return exit_ok;
}

}  // namespace

const Command summary_command{"summary", "print the values of each variable in brief, and draw them as an SVG chart",
                              summary_usage, run_summary};

}  // namespace kest_cli

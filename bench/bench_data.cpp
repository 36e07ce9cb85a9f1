// bench_data: throughput of the data exchange routines, each measured beside
// a baseline of plain line-by-line file handling of the same file in the same
// run, so that the ratio of the two says how much the routine costs over
// merely streaming its input (and output) through stdio.
//
//   xml_read    vs  fgets of the data file, every byte touched        (<= 2x)
//   xml_update  vs  fgets of the data file, fputs to a new file       (<= 4x)
//   data_conv   vs  fgets/fputs copy of the data file it writes into
//                   a new file                                        (<= 1.5x)
//
// The converter's output is several times the size of its input, so the
// copy of a file of the output's size is the baseline that fits what it
// must at least do.
//
// Two data sets are generated per run in a private folder under the system
// temp folder: 200 000 records x 10 variables and 20 000 x 100.  Each is
// written as a comma-delimited text file by a fixed pseudo-random generator
// and converted with data_conv, as a host would.  Before anything is timed
// the converted and the rewritten data are read back and checked against the
// generated values; any difference is reported after the tables.
//
// The program only reports: it prints the ratio table and the peak memory of
// xml_update and exits 0 whatever the figures are.
//
// Options besides Google Benchmark's own:
//   --scale=F   records of every data set multiplied by F (0 < F <= 1), for
//               quick runs and for profiling under slow tools
//   --keep      leave the generated files in place and print their folder
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kest.h"

namespace fs = std::filesystem;

namespace {

constexpr double missing_code = -999999.0;
constexpr int line_buffer_size = 10000;  // the baselines' fgets buffer; longer lines come in pieces
constexpr int max_cats = 100;
constexpr int status_limit = 5;          // every status with a number is read as a value

// ---------------------------------------------------------------------------
// Deterministic pseudo-random numbers (splitmix64): the same files every run.

using bench_support::Generator;

// ---------------------------------------------------------------------------
// Data sets

// What a column of the survey table holds.
enum class Column {
    age,          // whole numbers 16..95
    category,     // a category code 1..n
    amount,       // money: 0 to 99 999.99 with 0, 1 or 2 decimals
    ratio,        // 0.00 to 1.00, two decimals
    balance,      // -5 000.0 to 5 000.0, one decimal; negatives are Validn
    count,        // whole numbers 0..500
};

struct Variable {
    std::string name;
    Column column;
    int codes = 0;  // number of category codes (category columns)
};

struct DataSet {
    std::string label;  // "200000x10"
    int num_obs = 0;
    int num_vars = 0;
    std::vector<Variable> variables;

    fs::path text;                 // the comma-delimited source
    fs::path data, schema, xsl;    // the converted data set (read by xml_read)
    fs::path update_data;          // a copy of the data file rewritten by xml_update
    fs::path conv_data, conv_schema, conv_xsl;  // output of the timed data_conv

    std::vector<double> expected;  // generated values; missing_code where the field is empty
    long expected_missing = 0;

    // data_conv's arguments
    std::vector<int> cat_flags, num_codes, code_table;
    int row_length = max_cats;

    // xml_read's outputs, allocated once
    int name_size = 0;
    std::vector<double> matrix;
    std::vector<std::vector<char>> name_buffers;
    std::vector<char*> names;
    std::vector<int> ncat, cat_codes;

    // Change list of xml_update, mode 1: 1% of the cells in row-major order
    std::vector<int> change_recs, change_vars;
    std::vector<double> change_vals;

    std::uintmax_t data_bytes = 0, update_bytes = 0, text_bytes = 0;
};

// Fixed-width names ("c000", "c001", ...): none occurs inside another, so
// the reader's name search on a record line always finds the right element.
std::vector<Variable> make_variables(int num_vars)
{
    std::vector<Variable> vars;
    for (int j = 0; j < num_vars; ++j) {
        char name[16];
        std::snprintf(name, sizeof name, "c%03d", j);
        Variable v{name, Column::amount, 0};
        if (j == 1) {
            v.column = Column::category;  // e.g. region
            v.codes = 5;
        } else if (j == 3) {
            v.column = Column::category;  // e.g. month of interview
            v.codes = 12;
        } else {
            switch (j % 10) {
            case 0: v.column = Column::age; break;
            case 5: v.column = Column::ratio; break;
            case 7: v.column = Column::balance; break;
            case 8: v.column = Column::count; break;
            default: v.column = Column::amount; break;
            }
        }
        vars.push_back(v);
    }
    return vars;
}

// Writes one field's text into out (no delimiter) and returns its value, or
// missing_code for an empty field.
double make_field(Generator& gen, const Variable& v, char* out, std::size_t size)
{
    if (gen.below(100) < 3) {  // about 3% missing
        out[0] = '\0';
        return missing_code;
    }
    switch (v.column) {
    case Column::age: {
        const int n = 16 + gen.below(80);
        std::snprintf(out, size, "%d", n);
        return n;
    }
    case Column::category: {
        const int n = 1 + gen.below(v.codes);
        std::snprintf(out, size, "%d", n);
        return n;
    }
    case Column::count: {
        const int n = gen.below(501);
        std::snprintf(out, size, "%d", n);
        return n;
    }
    case Column::ratio: {
        const int cents = gen.below(101);
        std::snprintf(out, size, "%d.%02d", cents / 100, cents % 100);
        break;
    }
    case Column::balance: {
        const int tenths = gen.below(100001) - 50000;
        std::snprintf(out, size, "%s%d.%d", tenths < 0 ? "-" : "", std::abs(tenths) / 10, std::abs(tenths) % 10);
        break;
    }
    case Column::amount: {
        const int cents = gen.below(10000000);
        switch (gen.below(3)) {
        case 0: std::snprintf(out, size, "%d", cents / 100); break;
        case 1: std::snprintf(out, size, "%d.%d", cents / 100, (cents % 100) / 10); break;
        default: std::snprintf(out, size, "%d.%02d", cents / 100, cents % 100); break;
        }
        break;
    }
    }
    return std::strtod(out, nullptr);
}

bool write_text_file(DataSet& ds, uint64_t seed)
{
    std::FILE* out = std::fopen(ds.text.c_str(), "w");
    if (out == nullptr) return false;
    Generator gen(seed);
    ds.expected.assign(static_cast<std::size_t>(ds.num_obs) * ds.num_vars, missing_code);
    ds.expected_missing = 0;
    // A header line with the variable names, as survey exports have.
    for (int j = 0; j < ds.num_vars; ++j) std::fprintf(out, "%s%s", j ? "," : "", ds.variables[j].name.c_str());
    std::fputc('\n', out);
    std::string line;
    char field[32];
    for (int r = 0; r < ds.num_obs; ++r) {
        line.clear();
        for (int j = 0; j < ds.num_vars; ++j) {
            const double value = make_field(gen, ds.variables[j], field, sizeof field);
            ds.expected[static_cast<std::size_t>(r) * ds.num_vars + j] = value;
            if (value == missing_code) ++ds.expected_missing;
            if (j) line += ',';
            line += field;
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), out);
    }
    return std::fclose(out) == 0;
}

void make_change_list(DataSet& ds, uint64_t seed)
{
    Generator gen(seed);
    const long cells = static_cast<long>(ds.num_obs) * ds.num_vars;
    const long n = cells / 100;
    ds.change_recs.clear();
    ds.change_vars.clear();
    ds.change_vals.clear();
    for (long k = 0; k < n; ++k) {
        const long cell = k * 100 + gen.below(100);  // one cell in every block of 100: ascending, spread
        ds.change_recs.push_back(static_cast<int>(cell / ds.num_vars));
        ds.change_vars.push_back(static_cast<int>(cell % ds.num_vars));
        ds.change_vals.push_back(gen.below(1000000) / 100.0);
    }
    ds.change_recs.push_back(-1);
    ds.change_vars.push_back(-1);
}

// data_conv changes the names in place, so each call gets fresh copies.
struct ConvArgs {
    std::array<char, 32> dataset{};
    std::vector<std::array<char, 64>> buffers;
    std::vector<char*> names;

    explicit ConvArgs(const DataSet& ds) : buffers(ds.num_vars)
    {
        std::snprintf(dataset.data(), dataset.size(), "survey");
        for (int j = 0; j < ds.num_vars; ++j) {
            std::snprintf(buffers[j].data(), buffers[j].size(), "%s", ds.variables[j].name.c_str());
            names.push_back(buffers[j].data());
        }
    }
};

void convert(DataSet& ds, const fs::path& data, const fs::path& xsl, const fs::path& schema, int* error)
{
    ConvArgs args(ds);
    data_conv(args.dataset.data(), ds.text.c_str(), data.c_str(), xsl.c_str(), schema.c_str(), ds.num_obs,
              ds.num_vars, 2, 0.0, 1, args.names.data(), ds.cat_flags.data(), ds.num_codes.data(),
              ds.code_table.data(), ds.row_length, error);
}

void read_data(DataSet& ds, const fs::path& data, int* n_missing, int* error)
{
    xml_read(data.c_str(), ds.schema.c_str(), missing_code, ds.num_obs, ds.num_vars, ds.matrix.data(),
             ds.names.data(), ds.ncat.data(), ds.cat_codes.data(), max_cats, status_limit, n_missing, error);
}

void update_data(DataSet& ds, int* error)
{
    xml_update(ds.update_data.c_str(), ds.schema.c_str(), ds.xsl.c_str(), missing_code, ds.num_obs, ds.num_vars, 1,
               static_cast<int>(ds.change_vals.size()), ds.change_recs.data(), ds.change_vars.data(),
               ds.change_vals.data(), error);
}

uint64_t file_hash(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    uint64_t h = 1469598103934665603ULL;
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        for (std::streamsize i = 0; i < in.gcount(); ++i) h = (h ^ static_cast<unsigned char>(buf[i])) * 1099511628211ULL;
    }
    return h;
}

// ---------------------------------------------------------------------------
// Memory: the peak resident set of the process, in kB.  Freed heap pages
// are handed back first (malloc_trim), so that the call must fault in every
// page it uses; then writing 5 to /proc/self/clear_refs resets the peak to
// the current size, and the peak after the call is the call's own
// high-water mark over what the process held before it.

std::optional<long> status_kb(const char* field)
{
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return std::nullopt;
    char line[256];
    std::optional<long> value;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
            value = std::strtol(line + n + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return value;
}

bool reset_peak_rss()
{
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (f == nullptr) return false;
    const bool ok = std::fputs("5", f) >= 0;
    return (std::fclose(f) == 0) && ok;
}

long maxrss_kb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct MemoryFigure {
    std::string label;
    std::uintmax_t file_bytes = 0;
    long rss_before = -1, hwm_after = -1;     // kB, with the peak reset before the call
    long maxrss_before = 0, maxrss_after = 0;  // kB, getrusage over the process's life
    bool reset_worked = false;
    int error[2] = {0, 0};
};

std::vector<MemoryFigure> memory_figures;

MemoryFigure measure_update_memory(DataSet& ds)
{
    MemoryFigure m;
    m.label = ds.label;
    m.file_bytes = fs::file_size(ds.update_data);
    m.maxrss_before = maxrss_kb();
    malloc_trim(0);
    m.reset_worked = reset_peak_rss();
    m.rss_before = status_kb("VmRSS").value_or(-1);
    update_data(ds, m.error);
    m.hwm_after = status_kb("VmHWM").value_or(-1);
    m.maxrss_after = maxrss_kb();
    return m;
}

// ---------------------------------------------------------------------------
// Setup and checks

std::vector<std::string> setup_problems;  // reported after the run

void problem(const DataSet& ds, const std::string& what)
{
    setup_problems.push_back(ds.label + ": " + what);
    std::fprintf(stderr, "bench_data: %s: %s\n", ds.label.c_str(), what.c_str());
}

std::string error_text(const int* error)
{
    return std::to_string(error[0]) + "," + std::to_string(error[1]);
}

// Compares the read matrix with the expected values; returns the number of
// differing cells and describes the first one.
long compare_matrix(const DataSet& ds, const std::vector<double>& expected, std::string& first)
{
    long bad = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (ds.matrix[i] != expected[i]) {
            if (bad++ == 0) {
                char text[160];
                std::snprintf(text, sizeof text, "record %zu variable %zu: read %.10g, expected %.10g",
                              i / ds.num_vars, i % ds.num_vars, ds.matrix[i], expected[i]);
                first = text;
            }
        }
    }
    return bad;
}

bool prepare(DataSet& ds, const fs::path& folder, uint64_t seed)
{
    ds.label = std::to_string(ds.num_obs) + "x" + std::to_string(ds.num_vars);
    ds.variables = make_variables(ds.num_vars);
    const std::string base = "survey_" + ds.label;
    ds.text = folder / (base + ".csv");
    ds.data = folder / (base + ".xml");
    ds.schema = folder / (base + ".xdr");
    ds.xsl = folder / (base + ".xsl");
    ds.update_data = folder / (base + "_update.xml");
    ds.conv_data = folder / (base + "_conv.xml");
    ds.conv_schema = folder / (base + "_conv.xdr");
    ds.conv_xsl = folder / (base + "_conv.xsl");

    ds.cat_flags.assign(ds.num_vars, 0);
    ds.num_codes.assign(ds.num_vars, 0);
    ds.code_table.assign(static_cast<std::size_t>(ds.num_vars) * ds.row_length, 0);
    for (int j = 0; j < ds.num_vars; ++j) {
        const Variable& v = ds.variables[j];
        if (v.column != Column::category) continue;
        ds.cat_flags[j] = 2;
        ds.num_codes[j] = v.codes;
        for (int k = 0; k < v.codes; ++k) ds.code_table[static_cast<std::size_t>(j) * ds.row_length + k] = k + 1;
    }

    if (!write_text_file(ds, seed)) {
        problem(ds, "cannot write the text file " + ds.text.string());
        return false;
    }
    int error[2] = {0, 0};
    convert(ds, ds.data, ds.xsl, ds.schema, error);
    if (error[0] != 0) {
        problem(ds, "data_conv failed with " + error_text(error));
        return false;
    }

    int num_obs = 0, num_vars = 0;
    xml_data_size(ds.schema.c_str(), &num_obs, &num_vars, &ds.name_size, error);
    if (error[0] != 0 || num_obs != ds.num_obs || num_vars != ds.num_vars) {
        problem(ds, "xml_data_size gave " + error_text(error) + ", " + std::to_string(num_obs) + " records, " +
                        std::to_string(num_vars) + " variables");
        return false;
    }

    ds.matrix.assign(static_cast<std::size_t>(ds.num_obs) * ds.num_vars, 0.0);
    ds.name_buffers.assign(ds.num_vars, std::vector<char>(static_cast<std::size_t>(ds.name_size), '\0'));
    ds.names.clear();
    for (auto& b : ds.name_buffers) ds.names.push_back(b.data());
    ds.ncat.assign(ds.num_vars, -1);
    ds.cat_codes.assign(static_cast<std::size_t>(ds.num_vars) * max_cats, 0);

    // The converted file must read back as generated.
    int n_missing = -1;
    read_data(ds, ds.data, &n_missing, error);
    if (error[0] != 0) {
        problem(ds, "xml_read of the converted file failed with " + error_text(error));
        return false;
    }
    std::string first;
    if (const long bad = compare_matrix(ds, ds.expected, first); bad > 0)
        problem(ds, "converted file reads back with " + std::to_string(bad) + " differing cells; first: " + first);
    if (n_missing != ds.expected_missing)
        problem(ds, "xml_read counted " + std::to_string(n_missing) + " missing cells, expected " +
                        std::to_string(ds.expected_missing));
    for (int j = 0; j < ds.num_vars; ++j) {
        if (std::string_view(ds.names[j]) != ds.variables[j].name)
            problem(ds, "variable " + std::to_string(j) + " read with name " + ds.names[j]);
        if (ds.ncat[j] != ds.num_codes[j])
            problem(ds, "variable " + std::to_string(j) + " read with " + std::to_string(ds.ncat[j]) + " codes");
    }

    // The file that xml_update rewrites in place.  The first rewrite turns the
    // listed cells into Imputed ones and gives every number the writer's
    // form; from then on a rewrite with the same change list leaves the file
    // as it was, so every timed iteration starts from the same contents.
    fs::copy_file(ds.data, ds.update_data, fs::copy_options::overwrite_existing);
    make_change_list(ds, seed ^ 0x5bd1e995ULL);
    update_data(ds, error);
    if (error[0] != 0) {
        problem(ds, "xml_update failed with " + error_text(error));
        return false;
    }
    std::vector<double> updated = ds.expected;
    for (std::size_t k = 0; k + 1 < ds.change_recs.size(); ++k)
        updated[static_cast<std::size_t>(ds.change_recs[k]) * ds.num_vars + ds.change_vars[k]] = ds.change_vals[k];
    read_data(ds, ds.update_data, &n_missing, error);
    if (error[0] != 0) {
        problem(ds, "xml_read of the updated file failed with " + error_text(error));
        return false;
    }
    if (const long bad = compare_matrix(ds, updated, first); bad > 0)
        problem(ds, "updated file reads back with " + std::to_string(bad) + " differing cells; first: " + first);

    // A second rewrite, the one whose memory is reported, must change nothing.
    const uint64_t before = file_hash(ds.update_data);
    memory_figures.push_back(measure_update_memory(ds));
    if (memory_figures.back().error[0] != 0)
        problem(ds, "second xml_update failed with " + error_text(memory_figures.back().error));
    if (file_hash(ds.update_data) != before)
        problem(ds, "a second xml_update with the same change list changed the file");

    ds.data_bytes = fs::file_size(ds.data);
    ds.update_bytes = fs::file_size(ds.update_data);
    ds.text_bytes = fs::file_size(ds.text);
    return true;
}

// ---------------------------------------------------------------------------
// Baselines

// Reads a file line by line into the fgets buffer and adds up every
// byte, so each byte is fetched and looked at once.
uint64_t sum_lines(const fs::path& path)
{
    std::FILE* in = std::fopen(path.c_str(), "r");
    if (in == nullptr) return 0;
    static char buffer[line_buffer_size];
    uint64_t sum = 0;
    while (std::fgets(buffer, sizeof buffer, in) != nullptr) {
        for (const char* p = buffer; *p != '\0'; ++p) sum += static_cast<unsigned char>(*p);
    }
    std::fclose(in);
    return sum;
}

// Copies a file line by line through the fgets buffer into a new
// file, then removes the copy unless asked to keep it.
bool copy_lines(const fs::path& from, const fs::path& to, bool keep = false)
{
    std::FILE* in = std::fopen(from.c_str(), "r");
    if (in == nullptr) return false;
    std::FILE* out = std::fopen(to.c_str(), "w");
    if (out == nullptr) {
        std::fclose(in);
        return false;
    }
    static char buffer[line_buffer_size];
    while (std::fgets(buffer, sizeof buffer, in) != nullptr) std::fputs(buffer, out);
    std::fclose(in);
    const bool ok = std::fclose(out) == 0;
    if (!keep) std::remove(to.c_str());
    return ok;
}

// ---------------------------------------------------------------------------
// Benchmarks

using bench_support::RatioReporter;
using bench_support::Timing;

struct Pair {
    std::string routine;  // xml_read, xml_update, data_conv
    double target;
    const char* baseline_what;
};

const Pair pairs[] = {
    {"xml_read", 2.0, "fgets of the data file, bytes summed"},
    {"xml_update", 4.0, "fgets/fputs copy of the data file"},
    {"data_conv", 1.5, "fgets/fputs copy of the data file it writes, into a new file"},
};

std::string bench_name(const std::string& routine, const DataSet& ds, bool baseline)
{
    return routine + "/" + ds.label + (baseline ? "/baseline" : "/routine");
}

// Each benchmark runs a fixed number of iterations, repeated; the ratios use
// the medians of the repetitions, which a passing burst of load on a shared
// machine moves less than a mean.  The whole run takes about a minute.
struct Plan {
    int repetitions = 5;
    int baseline_iterations = 10;
    int routine_iterations = 3;
};

void configure(benchmark::internal::Benchmark* b, int iterations, const Plan& plan)
{
    bench_support::configure(b, iterations, plan.repetitions);
}

void register_benchmarks(std::vector<DataSet>& sets, const Plan& plan)
{
    // Pairs stand next to each other so that a baseline and its routine see
    // the same load on a shared machine.
    for (const Pair& pair : pairs) {
        for (DataSet& ds : sets) {
            DataSet* d = &ds;
            benchmark::internal::Benchmark* base = nullptr;
            benchmark::internal::Benchmark* routine = nullptr;
            if (pair.routine == "xml_read") {
                base = benchmark::RegisterBenchmark(bench_name(pair.routine, ds, true).c_str(), [d](benchmark::State& state) {
                    for (auto _ : state) {
                        uint64_t sum = sum_lines(d->data);
                        benchmark::DoNotOptimize(sum);
                    }
                    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d->data_bytes));
                });
                routine = benchmark::RegisterBenchmark(bench_name(pair.routine, ds, false).c_str(), [d](benchmark::State& state) {
                    int error[2] = {0, 0};
                    int n_missing = 0;
                    for (auto _ : state) {
                        read_data(*d, d->data, &n_missing, error);
                        if (error[0] != 0) break;
                        benchmark::DoNotOptimize(d->matrix.data());
                        benchmark::ClobberMemory();
                    }
                    if (error[0] != 0) state.SkipWithError(("xml_read failed with " + error_text(error)).c_str());
                    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d->data_bytes));
                });
            } else if (pair.routine == "xml_update") {
                base = benchmark::RegisterBenchmark(bench_name(pair.routine, ds, true).c_str(), [d](benchmark::State& state) {
                    const fs::path copy = d->update_data.string() + ".copy";
                    bool ok = true;
                    for (auto _ : state) {
                        ok = copy_lines(d->update_data, copy);
                        if (!ok) break;
                    }
                    if (!ok) state.SkipWithError("cannot copy the data file");
                    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d->update_bytes));
                });
                routine = benchmark::RegisterBenchmark(bench_name(pair.routine, ds, false).c_str(), [d](benchmark::State& state) {
                    int error[2] = {0, 0};
                    for (auto _ : state) {
                        update_data(*d, error);
                        if (error[0] != 0) break;
                    }
                    if (error[0] != 0) state.SkipWithError(("xml_update failed with " + error_text(error)).c_str());
                    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d->update_bytes));
                });
            } else {
                // Like the converter, the copy goes into a new file each time.
                base = benchmark::RegisterBenchmark(bench_name(pair.routine, ds, true).c_str(), [d](benchmark::State& state) {
                    const fs::path copy = d->data.string() + ".copy";
                    bool ok = true;
                    for (auto _ : state) {
                        state.PauseTiming();
                        std::error_code ec;
                        fs::remove(copy, ec);
                        state.ResumeTiming();
                        ok = copy_lines(d->data, copy, true);
                        if (!ok) break;
                    }
                    std::error_code ec;
                    fs::remove(copy, ec);
                    if (!ok) state.SkipWithError("cannot copy the data file");
                    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d->text_bytes));
                });
                routine = benchmark::RegisterBenchmark(bench_name(pair.routine, ds, false).c_str(), [d](benchmark::State& state) {
                    int error[2] = {0, 0};
                    for (auto _ : state) {
                        // A host converts into new files.  Overwriting the previous
                        // iteration's 70 MB output would add the file system's
                        // truncation of it (and its flush of the rewritten file on
                        // close), which is not the converter's work.
                        state.PauseTiming();
                        std::error_code ec;
                        for (const fs::path& f : {d->conv_data, d->conv_xsl, d->conv_schema}) fs::remove(f, ec);
                        state.ResumeTiming();
                        convert(*d, d->conv_data, d->conv_xsl, d->conv_schema, error);
                        if (error[0] != 0) break;
                    }
                    if (error[0] != 0) state.SkipWithError(("data_conv failed with " + error_text(error)).c_str());
                    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d->text_bytes));
                });
            }
            configure(base, plan.baseline_iterations, plan);
            configure(routine, plan.routine_iterations, plan);
        }
    }
}

// ---------------------------------------------------------------------------
// Report

void print_ratios(const std::vector<DataSet>& sets, const RatioReporter& reporter, const Plan& plan)
{
    auto find = [&](const std::string& name) -> const Timing* {
        auto it = reporter.timings.find(name);
        return it == reporter.timings.end() ? nullptr : &it->second;
    };
    std::printf("\nRatios of routine to baseline: real time per iteration, %s.\n",
                plan.repetitions > 1 ? "medians of the repetitions" : "single runs");
    std::printf("In brackets: the same ratio of CPU times (free of waiting for a shared processor)%s.\n",
                plan.repetitions > 1 ? " and of the fastest repetitions" : "");
    std::printf("--------------------------------------------------------------------------------\n");
    for (const Pair& pair : pairs) {
        double worst = -1;
        int measured = 0, met = 0;
        for (const DataSet& ds : sets) {
            const Timing* b = find(bench_name(pair.routine, ds, true));
            const Timing* r = find(bench_name(pair.routine, ds, false));
            if (b == nullptr || r == nullptr) continue;  // filtered out
            if (!b->error.empty() || !r->error.empty() || b->median_ms <= 0 || r->median_ms < 0) {
                std::printf("%-11s %-10s  not measured: %s\n", pair.routine.c_str(), ds.label.c_str(),
                            !r->error.empty() ? r->error.c_str() : !b->error.empty() ? b->error.c_str() : "no time");
                continue;
            }
            const double ratio = r->median_ms / b->median_ms;
            const double best_ratio = (b->min_ms > 0 && r->min_ms >= 0) ? r->min_ms / b->min_ms : -1;
            std::printf("%-11s %-10s  baseline %7.1f ms  routine %7.1f ms  ratio %5.2f (target <= %g)", pair.routine.c_str(),
                        ds.label.c_str(), b->median_ms, r->median_ms, ratio, pair.target);
            // On a shared machine the real time of a routine also holds the time
            // it waited for the processor; its CPU time does not.
            std::printf("  [CPU %.2f", b->median_cpu_ms > 0 ? r->median_cpu_ms / b->median_cpu_ms : 0.0);
            if (best_ratio > 0 && plan.repetitions > 1) std::printf(", fastest %.2f", best_ratio);
            std::printf("]\n");
            if (pair.routine == "xml_update") {
                // xml_update syncs the new file to disk before it replaces the
                // old one; the copy of the baseline is not synced.
                std::printf("%-22s  routine CPU time %.1f ms of %.1f ms real; the rest is waiting, chiefly for the sync\n", "",
                            r->median_cpu_ms, r->median_ms);
            } else if (pair.routine == "data_conv") {
                std::printf("%-22s  output %.1f MB for %.1f MB of input (%.1fx)\n", "", ds.data_bytes / 1e6,
                            ds.text_bytes / 1e6, static_cast<double>(ds.data_bytes) / ds.text_bytes);
            }
            ++measured;
            if (ratio <= pair.target) ++met;
            worst = std::max(worst, ratio);
        }
        if (measured > 0)
            std::printf("%-11s summary: %d of %d data sets within %gx of the baseline (%s); largest ratio %.2f\n\n",
                        pair.routine.c_str(), met, measured, pair.target, pair.baseline_what, worst);
    }
}

void print_memory()
{
    std::printf("Peak memory of one xml_update (mode 1, 1%% of the cells changed)\n");
    std::printf("--------------------------------------------------------------------------------\n");
    for (const MemoryFigure& m : memory_figures) {
        std::printf("xml_update  %-10s  file %6.1f MB  ", m.label.c_str(), m.file_bytes / 1e6);
        if (m.reset_worked && m.rss_before >= 0 && m.hwm_after >= 0)
            std::printf("peak RSS growth %6ld kB (VmRSS %ld kB before, VmHWM %ld kB after)", m.hwm_after - m.rss_before,
                        m.rss_before, m.hwm_after);
        else
            std::printf("peak RSS growth unknown (no peak reset); ru_maxrss %+ld kB", m.maxrss_after - m.maxrss_before);
        if (m.error[0] != 0) std::printf("  [error %d,%d]", m.error[0], m.error[1]);
        std::printf("\n");
    }
    std::printf("(freed heap pages returned with malloc_trim and the peak reset through\n"
                " /proc/self/clear_refs before each call, so the growth is the call's own use)\n");
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);

    double scale = 1.0;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.substr(0, 8) == "--scale=") {
            if (!bench_support::read_scale(arg, "bench_data", scale)) return 0;
        } else if (arg == "--keep") {
            keep = true;
        } else {
            std::fprintf(stderr, "bench_data: unknown option %s\n", argv[i]);
            return 0;
        }
    }

    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "kest_bench_XXXXXX").string();
    if (ec || ::mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "bench_data: cannot create a folder under the temp folder\n");
        return 0;
    }
    const fs::path folder = pattern;

    auto records = [scale](int n) { return std::max(1, static_cast<int>(std::lround(n * scale))); };
    std::vector<DataSet> sets(2);
    sets[0].num_obs = records(200000);
    sets[0].num_vars = 10;
    sets[1].num_obs = records(20000);
    sets[1].num_vars = 100;

    // A data set a tenth the size of the others, used only to show whether
    // xml_update's memory follows the file's size.
    DataSet small;
    small.num_obs = records(20000);
    small.num_vars = 10;

    std::printf("Generating data sets in %s ...\n", folder.c_str());
    std::fflush(stdout);
    bool ready = prepare(small, folder, 7);
    std::vector<DataSet> usable;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (prepare(sets[i], folder, 11 + i)) usable.push_back(std::move(sets[i]));
        else ready = false;
    }
    for (const DataSet& ds : usable)
        std::printf("  %-10s text %6.1f MB, data file %6.1f MB (after one rewrite %6.1f MB), %zu changes\n",
                    ds.label.c_str(), ds.text_bytes / 1e6, ds.data_bytes / 1e6, ds.update_bytes / 1e6,
                    ds.change_vals.size());
    std::fflush(stdout);

    Plan plan;
    RatioReporter reporter;
    if (!usable.empty()) {
        register_benchmarks(usable, plan);
        benchmark::RunSpecifiedBenchmarks(&reporter);
    }

    print_ratios(usable, reporter, plan);
    print_memory();
    if (!ready || !setup_problems.empty()) {
        std::printf("\nProblems found while preparing the data:\n");
        for (const std::string& p : setup_problems) std::printf("  %s\n", p.c_str());
    }

    if (keep) {
        std::printf("\nFiles kept in %s\n", folder.c_str());
    } else {
        fs::remove_all(folder, ec);
    }
    benchmark::Shutdown();
    return 0;
}

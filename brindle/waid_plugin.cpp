// The WAID imputation plug-in: one variable of a data set is imputed with a
// WAID tree grown on the records that have no missing value.  Everything it
// does with the data goes through the exports of libkest.so; what is its
// own is choosing and recoding the records, the debug log and the messages.
#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "brindle.h"
#include "debug_log.h"
#include "kest.h"
#include "message_box.h"

namespace brindle {

namespace {

constexpr double missing = -999.0;
constexpr double unread = std::numeric_limits<double>::quiet_NaN();
constexpr int max_cats = 100000;
constexpr int status_limit = 5;  // every status but Missing is read as a value
constexpr double tolerance = 0.0001;
constexpr int min_node = 10;
constexpr int min_child = 1;
constexpr int seed = 34;

// The plug-in's generator, seeded anew in every run so that every run draws
// the same numbers.
RandState generator;

void message(const char* text) { kest_platform::show_message_box("WAID", text); }

// Ends a run; the caller shows "ERROR LOAD_DATA FAILED" and returns -1.
struct RunFailed {};

struct TreeRelease {
    void operator()(TreeNode* tree) const noexcept { tree_free(tree); }
};
using Tree = std::unique_ptr<TreeNode, TreeRelease>;

struct Settings {
    const char* data_path;
    const char* schema_path;
    const char* xsl_path;
    int dep_var;
    const int* vars_selected;
    int num_selected;
    int weight_scheme;
    int imputation_method;
    int maxit;
    double tuning;
};

// Records in a row-major matrix of num_vars columns.
struct Rows {
    int num_vars = 0;
    std::vector<int> records;   // record numbers in the data set, ascending
    std::vector<double> cells;  // records.size() rows

    double& at(std::size_t row, int column) { return cells[row * static_cast<std::size_t>(num_vars) + column]; }
    int count() const { return static_cast<int>(records.size()); }
};

class WaidRun {
public:
    explicit WaidRun(const Settings& s) : s_(s) {}

    void run()
    {
        if (!log_.create(BRINDLE_DEBUG_LOG)) {
            message("ERROR OPENING DEBUG FILE file ");
            throw RunFailed{};
        }
        read_data();
        recode();
        classify();
        log_rows();
        count_categories();
        log_tree_inputs();
        log_.close();
        const Tree tree = grow();
        score(tree.get());
        write_back();
    }

private:
    void read_data();
    void recode();
    void classify();
    void log_rows();
    void count_categories();
    void log_tree_inputs();
    Tree grow();
    void score(const TreeNode* tree);
    void write_back();

    const Settings& s_;
    DebugLog log_;
    int num_obs_ = 0;
    int num_vars_ = 0;
    std::vector<double> data_;
    Rows complete_;
    Rows impute_;
    std::vector<int> categories_;
    bool dependent_shifted_ = false;
    std::vector<double> values_;
    std::vector<double> spreads_;
};

// Sizes and reads the data set; every missing cell holds -999.
void WaidRun::read_data()
{
    int error[2] = {0, 0};
    int name_size = 0;
    xml_data_size(s_.schema_path, &num_obs_, &num_vars_, &name_size, error);
    if (error[0] > 0 || num_obs_ < 1 || num_vars_ < 1 || name_size < 1) throw RunFailed{};

    char** names = nullptr;
    for (int i = 0; i < num_vars_; ++i) {
        if (alloc_names(&names, num_vars_, i, name_size) == nullptr) {
            free_list(names, num_vars_);
            throw std::bad_alloc();
        }
    }
    struct NameList {
        char** names;
        int count;
        ~NameList() { free_list(names, count); }
    } const name_list{names, num_vars_};

    // Rows the reader does not reach (a data file with fewer records than
    // its schema states) keep a value the reader never stores, so that they
    // are not taken for records to impute.
    const std::size_t cells = static_cast<std::size_t>(num_obs_) * static_cast<std::size_t>(num_vars_);
    data_.assign(cells, unread);
    std::vector<int> ncat(static_cast<std::size_t>(num_vars_));
    std::vector<int> category_table(static_cast<std::size_t>(num_vars_) * max_cats);
    int n_missing = 0;
    xml_read(s_.data_path, s_.schema_path, missing, num_obs_, num_vars_, data_.data(), names, ncat.data(),
             category_table.data(), max_cats, status_limit, &n_missing, error);
    if (error[0] > 0) throw RunFailed{};
}

// Zero and negative values above the missing code count as category 1.
void WaidRun::recode()
{
    for (double& v : data_)
        if (v > missing && v <= 0.0) v = 1.0;
}

// A record is complete when no cell is missing, and is to be imputed when
// the dependent variable is missing; others take no part.
void WaidRun::classify()
{
    complete_.num_vars = impute_.num_vars = num_vars_;
    // A dependent variable outside the data set imputes nothing; the tree
    // routine refuses it.
    const bool dependent_in_range = s_.dep_var >= 0 && s_.dep_var < num_vars_;
    for (int r = 0; r < num_obs_; ++r) {
        log_.write("checking for complete data observation = %ld \n", static_cast<long>(r));
        const double* row = &data_[static_cast<std::size_t>(r) * static_cast<std::size_t>(num_vars_)];
        if (std::isnan(row[0])) continue;  // not in the data file
        Rows* target = nullptr;
        if (std::none_of(row, row + num_vars_, [](double v) { return v == missing; })) target = &complete_;
        else if (dependent_in_range && row[s_.dep_var] == missing) target = &impute_;
        if (target == nullptr) continue;
        target->records.push_back(r);
        // Values are floored; a missing cell keeps -999, which floors to itself.
        for (int j = 0; j < num_vars_; ++j) target->cells.push_back(std::floor(row[j]));
    }
}

void WaidRun::log_rows()
{
    const auto log_matrix = [&](Rows& rows) {
        for (std::size_t i = 0; i < rows.records.size(); ++i) {
            for (int j = 0; j < num_vars_; ++j) log_.write("%12.4f, ", rows.at(i, j));
            log_.write("\n");
        }
    };
    log_.write("The complete data is : complete_count = %ld \n", static_cast<long>(complete_.count()));
    log_matrix(complete_);
    log_.write("\nThe impute data is \n");
    log_matrix(impute_);
}

// Every variable is taken as a categorical one with as many categories as
// its largest complete value.  A variable whose smallest complete value is
// 0 has its codes raised by 1 - in the records to impute as well, so that
// the tree meets the same codes there as in training.
void WaidRun::count_categories()
{
    categories_.assign(static_cast<std::size_t>(num_vars_), 0);
    for (int m = 0; m < num_vars_; ++m) {
        double largest = -1000000.0;
        double smallest = 100000.0;
        for (std::size_t i = 0; i < complete_.records.size(); ++i) {
            largest = std::max(largest, complete_.at(i, m));
            smallest = std::min(smallest, complete_.at(i, m));
        }
        int count = static_cast<int>(std::clamp(largest, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
        if (smallest == 0.0) {
            for (std::size_t i = 0; i < complete_.records.size(); ++i) complete_.at(i, m) += 1.0;
            for (std::size_t i = 0; i < impute_.records.size(); ++i)
                if (impute_.at(i, m) != missing) impute_.at(i, m) += 1.0;
            if (count < INT_MAX) ++count;
            if (m == s_.dep_var) dependent_shifted_ = true;
        }
        categories_[static_cast<std::size_t>(m)] = count;
    }
}

void WaidRun::log_tree_inputs()
{
    log_.write("Just before call to waid_tree, input parameters are: \n");
    log_.write("rec1 = %ld \n", 0L);
    log_.write("num_vars = %ld \n", static_cast<long>(num_vars_));
    log_.write("complete_count = %ld \n", static_cast<long>(complete_.count()));
    log_.write("vars_selected \n");
    for (int p = 0; p < s_.num_selected && s_.vars_selected != nullptr; ++p)
        log_.write("%ld \n", static_cast<long>(s_.vars_selected[p]));
    log_.write("dep_var = %ld \n", static_cast<long>(s_.dep_var));
    log_.write("ncat \n");
    for (int m = 0; m < num_vars_; ++m)
        log_.write("ncat[%ld] = %ld \n", static_cast<long>(m), static_cast<long>(categories_[static_cast<std::size_t>(m)]));
    log_.write("weight_scheme = %ld \n", static_cast<long>(s_.weight_scheme));
    log_.write("tol = %12.6f \n", tolerance);
    log_.write("maxit = %ld \n", static_cast<long>(s_.maxit));
    log_.write("imputation_method = %ld \n", static_cast<long>(s_.imputation_method));
    log_.write("Just before call to waid_tree \n");
}

Tree WaidRun::grow()
{
    std::vector<double> rec_weights(complete_.records.size());
    TreeNode* grown = nullptr;
    int error[2] = {0, 0};
    waid_tree(0, num_vars_, complete_.count(), complete_.count(), complete_.cells.data(), nullptr, s_.num_selected,
              s_.vars_selected, s_.dep_var, s_.weight_scheme, rec_weights.data(), categories_.data(), tolerance,
              s_.maxit, s_.tuning, min_node, min_child, 1, &grown, error);
    Tree tree(error[0] > 0 ? nullptr : grown);
    if (!log_.reopen(BRINDLE_DEBUG_LOG)) {
        message("ERROR OPENING DEBUG FILE file ");
        throw RunFailed{};
    }
    char info[32];
    std::snprintf(info, sizeof info, "info = %ld ", static_cast<long>(error[0]));
    if (error[0] > 0) {
        log_.write("ERROR AFTER CALL TO WAID %s \n", info);
        throw RunFailed{};
    }
    if (error[0] < 0) log_.write("WARNING AFTER CALL TO WAID TREE %s \n", info);
    return tree;
}

void WaidRun::score(const TreeNode* tree)
{
    set_rand_seed(seed, &generator);
    values_.assign(impute_.records.size(), 0.0);
    spreads_.assign(impute_.records.size(), 0.0);
    int error[2] = {0, 0};
    tree_score(0, num_vars_, impute_.count(), impute_.count(), impute_.cells.data(), nullptr, tree, 1,
               s_.imputation_method, &generator, values_.data(), spreads_.data(), error);
    char info[32];
    std::snprintf(info, sizeof info, "info = %ld ", static_cast<long>(error[0]));
    if (error[0] > 0) {
        log_.write("ERROR AFTER CALL TO TREE SCORE %s \n", info);
        throw RunFailed{};
    }
    if (error[0] < 0) log_.write("WARNING AFTER CALL TO TREE SCORE %s \n", info);
}

// The predictions become Imputed cells of the dependent variable; a shifted
// dependent variable's predictions return to its own codes first.
void WaidRun::write_back()
{
    log_.write("\nThe imputed data is \n");
    const std::size_t n = impute_.records.size();
    std::vector<int> change_records(n + 1, -1);
    std::vector<int> change_vars(n + 1, -1);
    for (std::size_t i = 0; i < n; ++i) {
        if (dependent_shifted_) values_[i] -= 1.0;
        log_.write("%8.4f (%3.2f)\n", values_[i], spreads_[i]);
        change_records[i] = impute_.records[i];
        change_vars[i] = s_.dep_var;
    }
    log_.close();
    int error[2] = {0, 0};
    xml_update(s_.data_path, s_.schema_path, s_.xsl_path, missing, num_obs_, num_vars_, 1, static_cast<int>(n),
               change_records.data(), change_vars.data(), values_.data(), error);
    if (error[0] > 0) throw RunFailed{};
}

}  // namespace

}  // namespace brindle

extern "C" int TAV_WAID_WRAPPER(const char* data_path, const char* schema_path, const char* xsl_path, int dep_var,
                                const int* vars_selected, int num_selected, int weight_scheme, int imputation_method,
                                int maxit, double tuning)
{
    // A null path or predictor list is refused before the log or the data
    // set is touched.
    if (data_path == nullptr || schema_path == nullptr || xsl_path == nullptr || vars_selected == nullptr) {
        brindle::message("ERROR LOAD_DATA FAILED");
        return -1;
    }
    const brindle::Settings settings{data_path,     schema_path,   xsl_path,          dep_var, vars_selected,
                                     num_selected,  weight_scheme, imputation_method, maxit,   tuning};
    try {
        brindle::WaidRun run(settings);
        run.run();
        return 0;
    } catch (const brindle::RunFailed&) {
    } catch (...) {
        // Working storage that could not be obtained ends the run like any
        // other failure; the data file is only ever changed by the last step.
        brindle::message("ALLOCATION FAILED");
    }
    brindle::message("ERROR LOAD_DATA FAILED");
    return -1;
}

extern "C" int TAV_IMPUTATION(int, int, int, int, int, int) { return 0; }

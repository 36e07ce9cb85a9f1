// The .Call entry points of the R package: each takes R vectors, calls one
// routine of the kest library (or, for reading a data set, the few it takes
// under one lock) and returns the results with the routine's ErrorPair.
// Errors are raised on the R side, which knows the routine's messages, so
// that nothing here unwinds past a C++ object: every buffer comes from
// R_alloc (released by R after the call, even after an R error), and the
// only objects the library owns (name lists, trees, locks) are released
// before R is called again, or held by an external pointer's finalizer.
#include <cmath>
#include <cstring>

#define R_NO_REMAP
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>

#include "kest.h"

namespace {

// A list of named elements, protected by the caller.
SEXP named_list(int n, const char** names)
{
    SEXP out = PROTECT(Rf_allocVector(VECSXP, n));
    SEXP nm = PROTECT(Rf_allocVector(STRSXP, n));
    for (int i = 0; i < n; ++i) SET_STRING_ELT(nm, i, Rf_mkChar(names[i]));
    Rf_setAttrib(out, R_NamesSymbol, nm);
    UNPROTECT(2);
    return out;
}

SEXP error_pair(const int* error)
{
    SEXP e = Rf_allocVector(INTSXP, 2);
    INTEGER(e)[0] = error[0];
    INTEGER(e)[1] = error[1];
    return e;
}

// The result of a call that failed before it produced anything.
SEXP failure(const char* routine, const int* error)
{
    const char* names[] = {"routine", "error"};
    SEXP out = PROTECT(named_list(2, names));
    SET_VECTOR_ELT(out, 0, Rf_mkString(routine));
    SET_VECTOR_ELT(out, 1, error_pair(error));
    UNPROTECT(1);
    return out;
}

int* int_buffer(R_xlen_t n) { return reinterpret_cast<int*>(R_alloc(n > 0 ? n : 1, sizeof(int))); }
double* double_buffer(R_xlen_t n) { return reinterpret_cast<double*>(R_alloc(n > 0 ? n : 1, sizeof(double))); }

SEXP int_vector(const int* values, R_xlen_t n)
{
    SEXP v = Rf_allocVector(INTSXP, n);
    if (n > 0) std::memcpy(INTEGER(v), values, static_cast<size_t>(n) * sizeof(int));
    return v;
}

SEXP double_vector(const double* values, R_xlen_t n)
{
    SEXP v = Rf_allocVector(REALSXP, n);
    if (n > 0) std::memcpy(REAL(v), values, static_cast<size_t>(n) * sizeof(double));
    return v;
}

const double* optional_doubles(SEXP v) { return Rf_isNull(v) ? nullptr : REAL(v); }

// The largest number of category codes a schema may list that the reader
// is tried with before it gives up.
constexpr int most_codes = 1 << 20;

// Status codes of the cells, as the writer numbers them; a cell no status
// limit reads as a value is Missing.
struct StatusPass {
    int limit, status;
};
constexpr StatusPass status_passes[] = {{1, KEST_STATUS_VALID},
                                        {-2, KEST_STATUS_IMPUTED},
                                        {-3, KEST_STATUS_SUSPECT},
                                        {-4, KEST_STATUS_ERROR},
                                        {2, KEST_STATUS_VALIDN}};

// A routine's ErrorPair and, when it gave one, a handle of the library's
// that R releases with finalize once nothing refers to it.
SEXP result_with_handle(const char* routine, const int* error, const char* name, void* handle,
                        R_CFinalizer_t finalize)
{
    const char* fields[] = {"routine", "error", name};
    SEXP out = PROTECT(named_list(3, fields));
    SET_VECTOR_ELT(out, 0, Rf_mkString(routine));
    SET_VECTOR_ELT(out, 1, error_pair(error));
    if (handle != nullptr) {
        SEXP ptr = PROTECT(R_MakeExternalPtr(handle, R_NilValue, R_NilValue));
        R_RegisterCFinalizerEx(ptr, finalize, TRUE);
        SET_VECTOR_ELT(out, 2, ptr);
        UNPROTECT(1);
    }
    UNPROTECT(1);
    return out;
}

// Reads the data set under its shared lock: names, category codes, the
// value of every cell that holds one (NaN otherwise) and its status.
SEXP read_locked(const char* data_path, const char* schema_path, int* error)
{
    int num_obs = 0, num_vars = 0, name_size = 0;
    xml_data_size(schema_path, &num_obs, &num_vars, &name_size, error);
    if (error[0] > 0) return failure("xml_data_size", error);
    if (num_obs < 1 || num_vars < 1) {
        error[0] = num_obs < 1 ? 4 : 5;
        error[1] = num_obs < 1 ? num_obs : num_vars;
        return failure("xml_read", error);
    }
    char** names = nullptr;
    for (int j = 0; j < num_vars; ++j) {
        if (alloc_names(&names, num_vars, j, name_size) == nullptr) {
            free_list(names, num_vars);
            error[0] = KEST_ERR_NO_MEMORY;
            error[1] = 0;
            return failure("alloc_names", error);
        }
    }
    const R_xlen_t cells = static_cast<R_xlen_t>(num_obs) * num_vars;
    double* values = double_buffer(cells);
    double* pass_values = double_buffer(cells);
    int* status = int_buffer(cells);
    for (R_xlen_t i = 0; i < cells; ++i) {
        values[i] = NAN;
        status[i] = KEST_STATUS_MISSING;
    }
    int* ncat = int_buffer(num_vars);
    int max_cats = 256;
    int* codes = nullptr;
    for (const StatusPass& pass : status_passes) {
        int n_missing = 0;
        // A data file with fewer records than its schema states leaves the
        // rows it lacks untouched: they stay missing.
        for (R_xlen_t i = 0; i < cells; ++i) pass_values[i] = NAN;
        for (;;) {
            codes = int_buffer(static_cast<R_xlen_t>(num_vars) * max_cats);
            error[0] = error[1] = 0;
            xml_read(data_path, schema_path, NAN, num_obs, num_vars, pass_values, names, ncat, codes, max_cats,
                     pass.limit, &n_missing, error);
            if (error[0] != 10 || max_cats >= most_codes) break;
            max_cats *= 16;
        }
        if (error[0] > 0) {
            free_list(names, num_vars);
            return failure("xml_read", error);
        }
        for (R_xlen_t i = 0; i < cells; ++i)
            if (status[i] == KEST_STATUS_MISSING && !std::isnan(pass_values[i])) {
                status[i] = pass.status;
                values[i] = pass_values[i];
            }
    }
    const char* fields[] = {"names", "ncat", "codes", "values", "status", "num_obs", "error"};
    SEXP out = PROTECT(named_list(7, fields));
    SEXP r_names = PROTECT(Rf_allocVector(STRSXP, num_vars));
    for (int j = 0; j < num_vars; ++j) SET_STRING_ELT(r_names, j, Rf_mkCharCE(names[j], CE_UTF8));
    free_list(names, num_vars);
    SET_VECTOR_ELT(out, 0, r_names);
    SET_VECTOR_ELT(out, 1, int_vector(ncat, num_vars));
    SEXP r_codes = PROTECT(Rf_allocVector(VECSXP, num_vars));
    for (int j = 0; j < num_vars; ++j)
        SET_VECTOR_ELT(r_codes, j, int_vector(codes + static_cast<R_xlen_t>(j) * max_cats, ncat[j] > 0 ? ncat[j] : 0));
    SET_VECTOR_ELT(out, 2, r_codes);
    SET_VECTOR_ELT(out, 3, double_vector(values, cells));
    SET_VECTOR_ELT(out, 4, int_vector(status, cells));
    SET_VECTOR_ELT(out, 5, Rf_ScalarInteger(num_obs));
    SET_VECTOR_ELT(out, 6, error_pair(error));
    UNPROTECT(3);
    return out;
}

}  // namespace

extern "C" {

SEXP kr_read(SEXP data_path, SEXP schema_path)
{
    int error[2] = {0, 0};
    const char* data = Rf_translateCharUTF8(STRING_ELT(data_path, 0));
    const char* schema = Rf_translateCharUTF8(STRING_ELT(schema_path, 0));
    // Several passes read one state of the files: no writer comes between.
    KestLock* lock = nullptr;
    xml_lock(schema, KEST_LOCK_SHARED, -1, &lock, error);
    if (error[0] > 0) return failure("xml_lock", error);
    SEXP out = PROTECT(read_locked(data, schema, error));
    xml_unlock(lock);
    UNPROTECT(1);
    return out;
}

void release_lock(SEXP ptr)
{
    xml_unlock(static_cast<KestLock*>(R_ExternalPtrAddr(ptr)));
    R_ClearExternalPtr(ptr);
}

// Takes the data set's lock, exclusive: the writes that follow (the
// converter and the writer's passes) run under it, and no other process
// reads the data set half written.  Released by kr_unlock, or when R
// collects the pointer.
SEXP kr_lock(SEXP schema_path)
{
    int error[2] = {0, 0};
    KestLock* lock = nullptr;
    xml_lock(Rf_translateCharUTF8(STRING_ELT(schema_path, 0)), KEST_LOCK_EXCLUSIVE, -1, &lock, error);
    return result_with_handle("xml_lock", error, "lock", lock, release_lock);
}

SEXP kr_unlock(SEXP ptr)
{
    if (TYPEOF(ptr) == EXTPTRSXP) release_lock(ptr);
    return R_NilValue;
}

SEXP kr_data_conv(SEXP name, SEXP text, SEXP data, SEXP xsl, SEXP schema, SEXP num_obs, SEXP var_names,
                  SEXP cat_flags, SEXP num_codes, SEXP code_table, SEXP row_length)
{
    int error[2] = {0, 0};
    const char* given = Rf_translateCharUTF8(STRING_ELT(name, 0));
    char* dataset = R_alloc(std::strlen(given) + 1, 1);
    std::strcpy(dataset, given);
    const int nv = Rf_length(var_names);
    char** names = reinterpret_cast<char**>(R_alloc(nv > 0 ? nv : 1, sizeof(char*)));
    for (int j = 0; j < nv; ++j) {
        const char* n = Rf_translateCharUTF8(STRING_ELT(var_names, j));
        names[j] = R_alloc(std::strlen(n) + 1, 1);
        std::strcpy(names[j], n);
    }
    data_conv(dataset, Rf_translateCharUTF8(STRING_ELT(text, 0)), Rf_translateCharUTF8(STRING_ELT(data, 0)),
              Rf_translateCharUTF8(STRING_ELT(xsl, 0)), Rf_translateCharUTF8(STRING_ELT(schema, 0)),
              Rf_asInteger(num_obs), nv, 2, -INFINITY, 0, names, INTEGER(cat_flags), INTEGER(num_codes),
              INTEGER(code_table), Rf_asInteger(row_length), error);
    return failure("data_conv", error);
}

SEXP kr_xml_update(SEXP data, SEXP schema, SEXP xsl, SEXP num_obs, SEXP num_vars, SEXP mode, SEXP recs,
                   SEXP vars, SEXP vals)
{
    int error[2] = {0, 0};
    const int n = Rf_length(recs);
    int* r = int_buffer(n + 1);
    int* v = int_buffer(n + 1);
    std::memcpy(r, INTEGER(recs), static_cast<size_t>(n) * sizeof(int));
    std::memcpy(v, INTEGER(vars), static_cast<size_t>(n) * sizeof(int));
    r[n] = v[n] = -1;
    xml_update(Rf_translateCharUTF8(STRING_ELT(data, 0)), Rf_translateCharUTF8(STRING_ELT(schema, 0)),
               Rf_translateCharUTF8(STRING_ELT(xsl, 0)), NAN, Rf_asInteger(num_obs), Rf_asInteger(num_vars),
               Rf_asInteger(mode), n, r, v, REAL(vals), error);
    return failure("xml_update", error);
}

// The list of filled cells of an imputation routine.
// report: gen_imp's three counts of recipient groups, or null.
SEXP cell_list(const char* routine, const int* error, const int* recs, const int* vars, const double* vals, int n,
               const int* report = nullptr)
{
    const char* fields[] = {"routine", "error", "recs", "vars", "vals", "report"};
    SEXP out = PROTECT(named_list(6, fields));
    if (report != nullptr) SET_VECTOR_ELT(out, 5, int_vector(report, 3));
    SET_VECTOR_ELT(out, 0, Rf_mkString(routine));
    SET_VECTOR_ELT(out, 1, error_pair(error));
    if (n < 0) n = 0;
    SET_VECTOR_ELT(out, 2, int_vector(recs, n));
    SET_VECTOR_ELT(out, 3, int_vector(vars, n));
    SET_VECTOR_ELT(out, 4, double_vector(vals, n));
    UNPROTECT(1);
    return out;
}

SEXP kr_gen_imp(SEXP pool, SEXP seed, SEXP ties, SEXP selector, SEXP reuse, SEXP min_weight, SEXP weights,
                SEXP scales, SEXP dist_types, SEXP n, SEXP len, SEXP data, SEXP ncat, SEXP codes, SEXP d,
                SEXP missing_code)
{
    const R_xlen_t cells = Rf_xlength(data);
    int* recs = int_buffer(cells);
    int* vars = int_buffer(cells);
    double* vals = double_buffer(cells);
    int n_cells = 0;
    int report[5] = {0, 0, 0, 0, 0};
    gen_imp(INTEGER(pool), Rf_asInteger(seed), Rf_asInteger(ties), Rf_asInteger(selector), Rf_asInteger(reuse),
            Rf_asReal(min_weight), REAL(weights), REAL(scales), INTEGER(dist_types), nullptr, Rf_asInteger(n),
            Rf_asInteger(len), REAL(data), INTEGER(ncat), INTEGER(codes), Rf_asInteger(d), Rf_asReal(missing_code),
            &n_cells, recs, vars, vals, report);
    // A category outside its codes (55) skips that recipient only.
    const bool results = report[0] <= 0 || report[0] == 55;
    return cell_list("gen_imp", report, recs, vars, vals, results ? n_cells : 0, report + 2);
}

SEXP kr_simp_imp(SEXP n, SEXP p, SEXP data, SEXP ncat, SEXP codes, SEXP d, SEXP missing_code)
{
    const R_xlen_t cells = Rf_xlength(data);
    int* recs = int_buffer(cells);
    int* vars = int_buffer(cells);
    double* vals = double_buffer(cells);
    int n_cells = 0;
    int error[2] = {0, 0};
    simp_imp(Rf_asInteger(n), Rf_asInteger(p), REAL(data), INTEGER(ncat), INTEGER(codes), Rf_asInteger(d),
             Rf_asReal(missing_code), &n_cells, recs, vars, vals, error);
    return cell_list("simp_imp", error, recs, vars, vals, error[0] > 0 ? 0 : n_cells);
}

SEXP kr_em(SEXP n, SEXP p, SEXP include, SEXP data, SEXP missing_code, SEXP tol, SEXP maxit, SEXP weights)
{
    const R_xlen_t cells = Rf_xlength(data);
    double* work = double_buffer(cells);
    std::memcpy(work, REAL(data), static_cast<size_t>(cells) * sizeof(double));
    int* recs = int_buffer(cells);
    int* cols = int_buffer(cells);
    double* vals = double_buffer(cells);
    int n_cells = 0;
    int error[2] = {0, 0};
    em(Rf_asInteger(n), Rf_asInteger(p), INTEGER(include), work, Rf_asReal(missing_code), Rf_asReal(tol),
       Rf_asInteger(maxit), optional_doubles(weights), &n_cells, recs, cols, vals, error);
    const bool results = error[0] <= 0 || error[0] == 21 || error[0] == 40;
    return cell_list("em", error, recs, cols, vals, results ? n_cells : 0);
}

SEXP kr_bacon(SEXP n, SEXP p, SEXP include, SEXP data, SEXP missing_code, SEXP c, SEXP alpha, SEXP start,
              SEXP weights)
{
    const R_xlen_t cells = Rf_xlength(data);
    double* work = double_buffer(cells);
    std::memcpy(work, REAL(data), static_cast<size_t>(cells) * sizeof(double));
    const int records = Rf_asInteger(n);
    double* member = double_buffer(records);
    int error[2] = {0, 0};
    bacon(records, Rf_asInteger(p), INTEGER(include), work, Rf_asReal(missing_code), Rf_asInteger(c),
          Rf_asReal(alpha), Rf_asInteger(start), member, optional_doubles(weights), error);
    const char* fields[] = {"routine", "error", "member"};
    SEXP out = PROTECT(named_list(3, fields));
    SET_VECTOR_ELT(out, 0, Rf_mkString("bacon"));
    SET_VECTOR_ELT(out, 1, error_pair(error));
    SET_VECTOR_ELT(out, 2, double_vector(member, records > 0 ? records : 0));
    UNPROTECT(1);
    return out;
}

SEXP kr_summ_stats(SEXP n, SEXP p, SEXP missing_code, SEXP data, SEXP ncat, SEXP codes, SEXP a)
{
    const int nv = Rf_asInteger(p);
    const int row = Rf_asInteger(a);
    if (nv < 1 || row < 1) {
        const int error[2] = {nv < 1 ? 2 : 3, nv < 1 ? nv : row};
        return failure("summ_stats", error);
    }
    int* kinds = int_buffer(nv);
    std::memcpy(kinds, INTEGER(ncat), static_cast<size_t>(nv) * sizeof(int));
    double *mean = double_buffer(nv), *sd = double_buffer(nv), *lo = double_buffer(nv), *hi = double_buffer(nv);
    int* n_obs = int_buffer(nv);
    double* mids = double_buffer(static_cast<R_xlen_t>(nv) * row);
    int* freqs = int_buffer(static_cast<R_xlen_t>(nv) * row);
    for (int j = 0; j < nv; ++j) {
        mean[j] = sd[j] = lo[j] = hi[j] = NA_REAL;
        n_obs[j] = 0;
    }
    int error[2] = {0, 0};
    summ_stats(Rf_asInteger(n), nv, Rf_asReal(missing_code), REAL(data), kinds, INTEGER(codes), row, mean, sd, lo, hi,
               n_obs, mids, freqs, error);
    const char* fields[] = {"routine", "error", "ncat", "mean", "sd", "min", "max", "n_obs", "mids", "freqs"};
    SEXP out = PROTECT(named_list(10, fields));
    SET_VECTOR_ELT(out, 0, Rf_mkString("summ_stats"));
    SET_VECTOR_ELT(out, 1, error_pair(error));
    SET_VECTOR_ELT(out, 2, int_vector(kinds, nv));
    SET_VECTOR_ELT(out, 3, double_vector(mean, nv));
    SET_VECTOR_ELT(out, 4, double_vector(sd, nv));
    SET_VECTOR_ELT(out, 5, double_vector(lo, nv));
    SET_VECTOR_ELT(out, 6, double_vector(hi, nv));
    SET_VECTOR_ELT(out, 7, int_vector(n_obs, nv));
    SET_VECTOR_ELT(out, 8, double_vector(mids, static_cast<R_xlen_t>(nv) * row));
    SET_VECTOR_ELT(out, 9, int_vector(freqs, static_cast<R_xlen_t>(nv) * row));
    UNPROTECT(1);
    return out;
}

// ---- trees ----

void release_tree(SEXP ptr)
{
    tree_free(static_cast<TreeNode*>(R_ExternalPtrAddr(ptr)));
    R_ClearExternalPtr(ptr);
}

// A grown or loaded tree handed to R, which frees it with the pointer.
SEXP tree_result(const char* routine, const int* error, TreeNode* tree)
{
    return result_with_handle(routine, error, "tree", tree, release_tree);
}

TreeNode* tree_of(SEXP ptr)
{
    if (TYPEOF(ptr) != EXTPTRSXP || R_ExternalPtrAddr(ptr) == nullptr) Rf_error("the tree has been released");
    return static_cast<TreeNode*>(R_ExternalPtrAddr(ptr));
}

// The training matrix: the predictors in columns 0..np-1, the variable to
// predict in column np, a case weight (anova) in column np+1.
SEXP kr_grow(SEXP kind, SEXP n, SEXP nv, SEXP data, SEXP np, SEXP ncat, SEXP settings, SEXP priors)
{
    const int records = Rf_asInteger(n), vars = Rf_asInteger(nv), num_selected = Rf_asInteger(np);
    int* selected = int_buffer(num_selected);
    for (int i = 0; i < num_selected; ++i) selected[i] = i;
    const double* s = REAL(settings);
    TreeNode* tree = nullptr;
    int error[2] = {0, 0};
    const char* routine = CHAR(STRING_ELT(kind, 0));
    const int min_node = static_cast<int>(s[0]), min_child = static_cast<int>(s[1]), keep = static_cast<int>(s[2]);
    if (std::strcmp(routine, "waid_tree") == 0) {
        double* rec_weights = double_buffer(records);
        waid_tree(0, vars, records, records, REAL(data), nullptr, num_selected, selected, num_selected,
                  static_cast<int>(s[3]), rec_weights, INTEGER(ncat), s[4], static_cast<int>(s[5]), s[6], min_node,
                  min_child, keep, &tree, error);
    } else if (std::strcmp(routine, "gini_tree") == 0) {
        gini_tree(0, vars, records, records, REAL(data), nullptr, num_selected, selected, num_selected, INTEGER(ncat),
                  optional_doubles(priors), min_node, min_child, s[3], keep, &tree, error);
    } else {
        anova_tree(0, vars, records, records, REAL(data), nullptr, num_selected, selected, num_selected,
                   static_cast<int>(s[4]), INTEGER(ncat), min_node, min_child, s[3], keep, &tree, error);
    }
    if (error[0] > 0 && tree != nullptr) {
        tree_free(tree);
        tree = nullptr;
    }
    return tree_result(routine, error, tree);
}

SEXP kr_tree_score(SEXP ptr, SEXP n, SEXP nv, SEXP data, SEXP method, SEXP seed)
{
    const TreeNode* tree = tree_of(ptr);
    const int records = Rf_asInteger(n);
    double* values = double_buffer(records);
    double* spreads = double_buffer(records);
    RandState state{};
    set_rand_seed(Rf_asInteger(seed), &state);
    int error[2] = {0, 0};
    tree_score(0, Rf_asInteger(nv), records, records, REAL(data), nullptr, tree, 1, Rf_asInteger(method), &state,
               values, spreads, error);
    const char* fields[] = {"routine", "error", "values", "spreads"};
    SEXP out = PROTECT(named_list(4, fields));
    SET_VECTOR_ELT(out, 0, Rf_mkString("tree_score"));
    SET_VECTOR_ELT(out, 1, error_pair(error));
    SET_VECTOR_ELT(out, 2, double_vector(values, records));
    SET_VECTOR_ELT(out, 3, double_vector(spreads, records));
    UNPROTECT(1);
    return out;
}

SEXP kr_tree_save(SEXP ptr, SEXP path)
{
    int error[2] = {0, 0};
    tree_save(tree_of(ptr), Rf_translateCharUTF8(STRING_ELT(path, 0)), error);
    return failure("tree_save", error);
}

SEXP kr_tree_load(SEXP path)
{
    int error[2] = {0, 0};
    TreeNode* tree = nullptr;
    tree_load(&tree, Rf_translateCharUTF8(STRING_ELT(path, 0)), error);
    if (error[0] > 0 && tree != nullptr) {
        tree_free(tree);
        tree = nullptr;
    }
    return tree_result("tree_load", error, tree);
}

// The nodes in pre-order as parallel vectors, for printing.
SEXP kr_tree_nodes(SEXP ptr)
{
    const TreeNode* root = tree_of(ptr);
    int count = 0;
    for (const TreeNode* node = root; node != nullptr;) {
        ++count;
        if (node->left != nullptr) { node = node->left; continue; }
        while (node != nullptr && (node->parent == nullptr || node == node->parent->right || node->parent->right == nullptr))
            node = node->parent;
        node = node == nullptr ? nullptr : node->parent->right;
    }
    const char* fields[] = {"depth", "count", "split_var", "split_size", "value", "spread", "statistic", "split_values",
                            "kind"};
    SEXP out = PROTECT(named_list(9, fields));
    SEXP depth = PROTECT(Rf_allocVector(INTSXP, count)), n = PROTECT(Rf_allocVector(INTSXP, count)),
         var = PROTECT(Rf_allocVector(INTSXP, count)), size = PROTECT(Rf_allocVector(INTSXP, count)),
         value = PROTECT(Rf_allocVector(REALSXP, count)), spread = PROTECT(Rf_allocVector(REALSXP, count)),
         stat = PROTECT(Rf_allocVector(REALSXP, count)), splits = PROTECT(Rf_allocVector(VECSXP, count));
    int i = 0, level = 0;
    for (const TreeNode* node = root; node != nullptr; ++i) {
        INTEGER(depth)[i] = level;
        INTEGER(n)[i] = node->count;
        INTEGER(var)[i] = node->split_var;
        INTEGER(size)[i] = node->split_size;
        REAL(value)[i] = node->value;
        REAL(spread)[i] = node->spread;
        REAL(stat)[i] = node->statistic;
        const int k = node->split_var < 0 ? 0 : (node->split_size > 0 ? node->split_size : 1);
        SET_VECTOR_ELT(splits, i, double_vector(node->split_values, node->split_values ? k : 0));
        if (node->left != nullptr) {
            node = node->left;
            ++level;
            continue;
        }
        while (node != nullptr && (node->parent == nullptr || node == node->parent->right || node->parent->right == nullptr)) {
            node = node->parent;
            --level;
        }
        node = node == nullptr ? nullptr : node->parent->right;
    }
    SET_VECTOR_ELT(out, 0, depth);
    SET_VECTOR_ELT(out, 1, n);
    SET_VECTOR_ELT(out, 2, var);
    SET_VECTOR_ELT(out, 3, size);
    SET_VECTOR_ELT(out, 4, value);
    SET_VECTOR_ELT(out, 5, spread);
    SET_VECTOR_ELT(out, 6, stat);
    SET_VECTOR_ELT(out, 7, splits);
    SET_VECTOR_ELT(out, 8, Rf_ScalarInteger(root->kind));
    UNPROTECT(9);
    return out;
}

static const R_CallMethodDef call_methods[] = {
    {"kr_read", (DL_FUNC)&kr_read, 2},
    {"kr_lock", (DL_FUNC)&kr_lock, 1},
    {"kr_unlock", (DL_FUNC)&kr_unlock, 1},
    {"kr_data_conv", (DL_FUNC)&kr_data_conv, 11},
    {"kr_xml_update", (DL_FUNC)&kr_xml_update, 9},
    {"kr_gen_imp", (DL_FUNC)&kr_gen_imp, 16},
    {"kr_simp_imp", (DL_FUNC)&kr_simp_imp, 7},
    {"kr_em", (DL_FUNC)&kr_em, 8},
    {"kr_bacon", (DL_FUNC)&kr_bacon, 9},
    {"kr_summ_stats", (DL_FUNC)&kr_summ_stats, 7},
    {"kr_grow", (DL_FUNC)&kr_grow, 8},
    {"kr_tree_score", (DL_FUNC)&kr_tree_score, 6},
    {"kr_tree_save", (DL_FUNC)&kr_tree_save, 2},
    {"kr_tree_load", (DL_FUNC)&kr_tree_load, 1},
    {"kr_tree_nodes", (DL_FUNC)&kr_tree_nodes, 1},
    {nullptr, nullptr, 0}};

void R_init_kest(DllInfo* dll)
{
    R_registerRoutines(dll, nullptr, call_methods, nullptr, nullptr);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
}

}  // extern "C"

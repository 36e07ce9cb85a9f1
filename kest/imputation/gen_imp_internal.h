// gen_imp with a chosen donor search.  Internal to the library; the unit
// tests reach it through the static archive to compare the searches.
#pragma once

namespace kest {

enum class DonorSearch {
    automatic,  // the export: the index where it pays, the walk elsewhere
    linear,     // every candidate in pool order
    indexed,    // the index wherever it can bound the distance, however small the pool
};

void gen_imp_search(DonorSearch search, const int* pool, int seed, int tie_limit, int selector, int reuse,
                    double min_weight, const double* weights, const double* scales, const int* dist_types,
                    const double* cat_dist, int n, int len, const double* data, const int* ncat, const int* codes,
                    int d, double missing_code, int* n_cells, int* cell_recs, int* cell_vars, double* cell_vals,
                    int* report) noexcept;

}  // namespace kest

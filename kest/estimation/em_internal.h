// Cholesky factorisation and solve of the small symmetric blocks that EM
// regresses on.  Internal to the library; the unit tests reach them through
// the static archive.
#pragma once

namespace kest {

// Outcome of cholesky_factor: code 0 on success, otherwise
//   1  m is 0 or less              (detail m)
//   3  lda is less than m          (detail lda)
//   2  pivot j is not positive, or not a number: the matrix is not
//      positive definite            (detail j, counted from 1)
struct FactorResult {
    int code;
    int detail;
};

// Factorises the symmetric m by m matrix a (row stride lda) as L*L^T.  Only
// the elements on and above the diagonal are read; L is written into the
// lower triangle, diagonal included, so the strictly upper part survives.
// inv_diag[m] receives 1/L_jj.  On failure the lower triangle holds the
// columns finished before the failing pivot.
FactorResult cholesky_factor(int m, double* a, int lda, double* inv_diag) noexcept;

// Solves (L*L^T)*X = B for the m by s right-hand side b (row stride ldb),
// column by column: forward substitution with L, back substitution with L^T.
// l and inv_diag come from cholesky_factor (row stride ldl).  The solution
// goes to x (row stride ldx), which may be b itself.
void cholesky_solve(int m, int s, const double* l, int ldl, const double* inv_diag, const double* b, int ldb,
                    double* x, int ldx) noexcept;

// em itself, with the sharing of regression coefficients between records of
// the same missing pattern switched on (as the export does) or off, when
// every record forms its own.  Both give the same results to the last bit.
void em_sharing(bool share, int n, int p, const int* include, double* data, double missing_code, double tol,
                int maxit, const double* weights, int* n_cells, int* cell_recs, int* cell_cols, double* cell_vals,
                int* error) noexcept;

}  // namespace kest

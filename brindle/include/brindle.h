/*
 * brindle.h - entry points of the WAID imputation plug-in, brindle.dll on
 * Windows and libbrindle.so elsewhere.
 *
 * TAV_WAID_WRAPPER imputes one variable of a data set (data file, schema
 * file, stylesheet file, as written by kest's data_conv) with a WAID tree:
 * it reads the data through libkest.so, grows a tree on the records that
 * have no missing value, predicts the variable where it is missing, and
 * writes the predictions back into the data file with status Imputed.
 *
 * Every value is taken as a category code: values in (-999, 0] become 1,
 * every value is floored, and each variable gets as many categories as its
 * largest complete value (a variable whose smallest complete value floors
 * to 0 has its codes raised by 1, and predictions of such a dependent
 * variable are lowered by 1 again before they are written).
 *
 * A run writes a debug log to BRINDLE_DEBUG_LOG (C:\tav_waid_debug_log.dat
 * on Windows, /tmp/tav_waid_debug_log.dat elsewhere), created anew with
 * permissions 0600 (on Windows, the access rules of its folder); the plug-in never follows a symbolic link there nor
 * writes into a file that belongs to another user.  Runs must not overlap:
 * the log path and the generator state (seeded with 34 in every run) are
 * the plug-in's own.  Failures are shown as messages with the caption
 * "WAID": on Windows a message box, elsewhere one line on standard error,
 * "WAID: " and the text.
 *
 * Calling convention: the entry points are __cdecl (BRINDLE_CALL) and
 * exported under their plain names, in brindle.dll as in libbrindle.so.
 * With __cdecl the caller removes the arguments from the stack, so a host
 * that calls TAV_IMPUTATION of every plug-in alike (six arguments here,
 * seven in quillon) keeps its stack whatever the count; and a host that
 * looks the entry points up by name finds the names without decoration.
 */
#ifndef BRINDLE_H
#define BRINDLE_H

#if defined(_WIN32)
#define BRINDLE_API __declspec(dllexport)
#else
#define BRINDLE_API __attribute__((visibility("default")))
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define BRINDLE_CALL __cdecl
#else
#define BRINDLE_CALL
#endif

#if defined(_WIN32)
#define BRINDLE_DEBUG_LOG "C:\\tav_waid_debug_log.dat"
#else
#define BRINDLE_DEBUG_LOG "/tmp/tav_waid_debug_log.dat"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Imputes variable dep_var (counted from 0) of the data set from the
 * num_selected predictor columns in vars_selected.  weight_scheme (1 none,
 * 2 sine, 3 biweight, 4 Huber), maxit and tuning go to waid_tree (with
 * tolerance 0.0001, min_node 10, min_child 1, leaves keeping their values);
 * imputation_method (1 leaf value, 2 modal category, 3 random donor) goes to
 * tree_score.  Returns 0 on success and -1 on failure; on failure the data
 * file is left byte for byte as it was.  A null path or vars_selected is
 * refused with -1 and "ERROR LOAD_DATA FAILED" before anything is read or
 * written; the other arguments are checked by the library routines they
 * are passed to. */
BRINDLE_API int BRINDLE_CALL TAV_WAID_WRAPPER(const char* data_path, const char* schema_path, const char* xsl_path,
                                              int dep_var, const int* vars_selected, int num_selected, int weight_scheme,
                                              int imputation_method, int maxit, double tuning);

/* The uniform imputation entry point of the plug-ins; this one does
 * nothing and returns 0. */
BRINDLE_API int BRINDLE_CALL TAV_IMPUTATION(int a, int b, int c, int d, int e, int f);

#ifdef __cplusplus
}
#endif

#endif /* BRINDLE_H */

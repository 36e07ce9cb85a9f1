/*
 * quillon.h - entry points of the TS-SOM imputation plug-in, quillon.dll on
 * Windows and libquillon.so elsewhere.
 *
 * TAV_TSSOM_WRAPPER imputes the missing values of a data set (data file,
 * schema file, stylesheet file, as written by kest's data_conv) with the
 * TS-SOM method of the analysis engine: it reads the data through
 * libkest.so (Valid values only; every other cell is missing), loads the
 * engine libkrt.so by name (found through LD_LIBRARY_PATH, the plug-in's
 * run path or the system folders), pushes every variable into the
 * engine's frame "data", runs the engine's imputation script and writes
 * the imputed values of the selected variables back into the data file
 * with status Imputed.  Cells that were not missing are never changed.
 * The engine is released before the call returns.  On Windows the engine
 * is krt.dll, found by the system's search for a library loaded by name:
 * first the folder of the host program, then the system folders, the
 * current folder and the folders on PATH.
 *
 * Failures are shown as messages with the caption "TS-SOM": on Windows a
 * message box, elsewhere one line on standard error, "TS-SOM: " and the
 * text.  Calls
 * must not overlap: the engine binding is the plug-in's own while a call
 * runs.
 *
 * Calling convention: the entry points are __cdecl (QUILLON_CALL) and
 * exported under their plain names, in quillon.dll as in libquillon.so.
 * With __cdecl the caller removes the arguments from the stack, so a host
 * that calls TAV_IMPUTATION of every plug-in alike (seven arguments here,
 * six in brindle) keeps its stack whatever the count; and a host that
 * looks the entry points up by name finds the names without decoration.
 */
#ifndef QUILLON_H
#define QUILLON_H

#if defined(_WIN32)
#define QUILLON_API __declspec(dllexport)
#else
#define QUILLON_API __attribute__((visibility("default")))
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define QUILLON_CALL __cdecl
#else
#define QUILLON_CALL
#endif

/* The missing code the plug-in reads and writes with, and hands to the
 * engine. */
#define QUILLON_MISSING (-10000.0)

/* TAV_IMPUTATION's result when variable 0's settings fail, or when its
 * arguments are unusable (null pointers, counts below 1). */
#define QUILLON_SETTINGS_OF_FIRST_FAILED (-100)

#ifdef __cplusplus
extern "C" {
#endif

/* Imputes the data set.  flags holds one int per variable: the imputed
 * values of a variable whose flag is 1 are written back, any other value
 * leaves the variable alone.  The four numbers go to the engine's
 * impute.cmd: layer (its 12th number: the layer whose units give the
 * donors, counted up from the bottom, 0 the bottom), training (13th: 0
 * trains on the records with every value, 1 on those with any value),
 * passes (8th: most training passes per layer) and seed (3rd: seed of the
 * engine's generator).  The engine is run as
 *   runcmd impute.cmd 2 4 seed -10000 5 0.5 0.001 passes 3 0 1 layer training
 * Returns 0 on success and -1 on failure; on failure the data file is left
 * as it was.  A null path or flags is refused with -1 and "ERROR LOAD_DATA
 * FAILED" before the engine is loaded. */
QUILLON_API int QUILLON_CALL TAV_TSSOM_WRAPPER(const char* data_path, const char* schema_path, const char* xsl_path,
                                               const int* flags, int layer, int training, int passes, int seed);

/* The second half of a run, for a host that drove the engine itself
 * through the first: gives every variable its settings, selects them,
 * writes the engine's "output" frame back into the data file (only cells
 * of flagged variables that hold QUILLON_MISSING in data, a num_records x
 * num_variables row-major matrix as read from the file) and removes the
 * settings and the selection from the engine.  It needs the engine bound,
 * which it is only inside TAV_TSSOM_WRAPPER; otherwise every command
 * fails.  Returns 0, or: minus the variable whose settings failed
 * (QUILLON_SETTINGS_OF_FIRST_FAILED for variable 0), -9 the selection,
 * -11 the write-back (an "output" frame that is missing, unreadable, has
 * rows that are not strictly ascending or lie outside the data set, or a
 * failure of xml_update), -12 the clean-up. */
QUILLON_API int QUILLON_CALL TAV_IMPUTATION(const int* flags, int num_records, int num_variables, const double* data,
                                            const char* data_path, const char* schema_path, const char* xsl_path);

#ifdef __cplusplus
}
#endif

#endif /* QUILLON_H */

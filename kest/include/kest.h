/*
 * kest.h - public interface of the kest library of statistical editing and
 * imputation routines.
 *
 * Calling convention
 * ------------------
 * Every export is a plain C function.  Arrays and outputs are passed by
 * pointer, counts and settings by value.  Every array belongs to the caller,
 * who allocates it at the size documented here; the library only reads or
 * fills it.  Working storage is obtained at the start of a call and released
 * before it returns.  The library writes no global data and keeps no state
 * between calls, so routines may run on several threads at once as long as
 * they do not share arrays.
 *
 * The ErrorPair
 * -------------
 * The last argument of every routine is an ErrorPair: an array of two ints.
 *   error[0]  the code: 0 success, positive a failure (the outputs must not
 *             be used), negative a warning (the results are in place).
 *   error[1]  a detail, as a rule the offending value or a sub-code.
 * Arguments are checked in argument order and the first failure ends the
 * call.  Code 99 (KEST_ERR_NO_MEMORY) means that working storage could not
 * be obtained.  Each routine below lists its codes in the order in which
 * they are checked.
 *
 * Symbol names and calling convention
 * -----------------------------------
 * Every export, and the KestFetch callback a host supplies, is declared
 * with KEST_CALL: __stdcall in 32-bit Windows builds (the callee removes
 * its arguments from the stack), empty everywhere else.  A host must be
 * compiled against this header, or declare the functions __stdcall itself.
 * In kest.dll for 32-bit Windows the exports carry the decorated name of
 * that convention, an underscore, the name, an at sign and the bytes of the
 * arguments (_waid_tree@88, _xml_read@56); anova_tree, gini_tree,
 * set_rand_seed, tree_free, tree_load, tree_save, tree_score and waid_tree
 * are exported under that name only, every other export under it and under
 * its plain name (xml_read) as well.  The import library kest.dll.a binds
 * a host compiled against this header to the decorated names.  Shared
 * libraries for other platforms, 64-bit Windows included, have one calling
 * convention and export every routine under its plain name only.
 */
#ifndef KEST_H
#define KEST_H

#include <stdint.h>

#if defined(_WIN32)
/* The exports of kest.dll are listed in the module definition generated
 * when it is built, which alone gives each its names. */
#define KEST_API
#else
#define KEST_API __attribute__((visibility("default")))
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define KEST_CALL __stdcall
#else
#define KEST_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Shared types                                                              */
/* ------------------------------------------------------------------------ */

/* State of the random number generator: a 60-bit value X held in four
 * 15-bit limbs (X = limb[0] + limb[1]*2^15 + limb[2]*2^30 + limb[3]*2^45)
 * and a marker that is 1851 once the state has been initialised.  Owned by
 * the caller and passed by pointer; there is no global generator. */
typedef struct RandState {
    int32_t limb[4];
    int32_t marker;
} RandState;

/* Node of every tree model (WAID and ANOVA trees: kind 1; Gini trees: kind
 * 2).  A node is a leaf exactly when split_var is -1.  Each node owns its
 * split_values and int_array; the root owns the whole tree; parent does not
 * own.  Trees are created by the tree growers and released with tree_free. */
typedef struct TreeNode TreeNode;
struct TreeNode {
    int32_t kind;          /* 1 regression-type node, 2 classification node */
    int32_t keep;          /* 1 when leaves keep their training values */
    int32_t count;         /* training records that reached the node */
    int32_t split_var;     /* column of the split variable; -1 in a leaf */
    int32_t split_size;    /* -1 leaf, 0 continuous split, k categories */
    double* split_values;  /* threshold, or -1/+1/0 per category */
    double value;          /* mean (kind 1) or majority class (kind 2) */
    double spread;         /* spread of the dependent variable in the node */
    double statistic;      /* criterion of the chosen split; -2 in a leaf */
    int32_t int_count;     /* elements of int_array, or the modal category */
    int32_t* int_array;    /* class counts or kept values */
    TreeNode* parent;
    TreeNode* left;        /* value <= threshold, or category mapped to -1 */
    TreeNode* right;
};

/* Data callback of the tree routines: fills buffer with num_rows records of
 * the data matrix starting at record rec1, in the layout of the data matrix,
 * and reports through its own ErrorPair.  The host defines it with
 * KEST_CALL, like the exports. */
typedef void (KEST_CALL* KestFetch)(int rec1, int num_rows, double* buffer, int* error);

/* ------------------------------------------------------------------------ */
/* Codes shared by several routines                                          */
/* ------------------------------------------------------------------------ */

/* Working storage could not be obtained. */
#define KEST_ERR_NO_MEMORY 99

/* A pointer a routine cannot do without is null.  The detail is the
 * argument's number in the call, counted from 1.  The routines that name
 * this code check their pointers before anything else (em after its entry
 * rule); with a null ErrorPair a routine returns at once. */
#define KEST_ERR_NULL_ARGUMENT 98

/* Input outside the data set format is refused rather than misread.  The
 * detail is the number of the offending line in the file being read,
 * counted from 1, unless stated otherwise. */
#define KEST_ERR_LINE_TOO_LONG 61  /* a line of KEST_MAX_LINE or more characters; detail 0 from
                                      xml_update and data_conv: a line they would write could be one */
#define KEST_ERR_VALUE_TOO_LONG 62 /* a value text longer than KEST_MAX_VALUE_TEXT */
#define KEST_ERR_FIELD_TOO_LONG 63 /* data_conv: a field longer than KEST_MAX_FIELD */
#define KEST_ERR_TOO_MANY_CODES 64 /* data_conv: more codes than a table row holds; detail: variable */
#define KEST_ERR_NAME_TOO_LONG 65  /* a variable name beyond KEST_MAX_NAME; detail: variable */
#define KEST_ERR_NAME_SIZE 66      /* xml_read: a name longer than xml_data_size's name size; detail: variable */

/* The data set is locked by another process, and the wait for it ran out
 * (detail 1), or a writer can neither open nor create the lock file
 * (detail 2).  Nothing was read or written.  See "Locks" below. */
#define KEST_ERR_DATA_SET_LOCKED 67

/* xml_update: change list entries that could not be applied (out of
 * row-major order, repeated, beyond the last record, or behind such an
 * entry).  A warning: the file was written.  Detail: number of entries. */
#define KEST_WARN_CHANGES_NOT_APPLIED (-30)

/* xml_update: values that have no text of at most KEST_MAX_VALUE_TEXT
 * characters reading back as exactly the value were written as the nearest
 * such text.  A warning: the file was written.  Detail: number of values. */
#define KEST_WARN_VALUES_ROUNDED (-31)

/* Limits of the data set format. */
#define KEST_MAX_LINE 1048576    /* a line holds at most KEST_MAX_LINE - 1 characters before its line feed */
#define KEST_MAX_VALUE_TEXT 19   /* characters of a value text */
#define KEST_MAX_FIELD 14        /* characters of a converter field (the last one with its line feed) */
#define KEST_MAX_NAME 49         /* characters of a variable name */

/* Status codes of the writer (the update modes 1 to 4 are codes 1 to 4). */
#define KEST_STATUS_VALID 0
#define KEST_STATUS_IMPUTED 1
#define KEST_STATUS_SUSPECT 2
#define KEST_STATUS_ERROR 3
#define KEST_STATUS_MISSING 4
#define KEST_STATUS_VALIDN 5

/* ------------------------------------------------------------------------ */
/* Data exchange                                                             */
/* ------------------------------------------------------------------------ */

/* Locks
 * -----
 * Every routine that reads a data set (xml_data_size, xml_read) holds the
 * data set's lock shared while it reads; every routine that writes one
 * (xml_update, data_conv) holds it alone, xml_update from before it reads
 * the current data file until the new one has replaced it.  xml_update
 * applies its change list to the file as it stands then, so two writers
 * that change different cells both land, and of two that change one cell
 * the later one's value stays.  A routine waits for the lock at most
 * KEST_LOCK_WAIT_DEFAULT_MS milliseconds and then fails with
 * KEST_ERR_DATA_SET_LOCKED, changing nothing.
 *
 * The lock is the file named after the schema file with ".lock" added
 * (survey.xdr.lock), beside it: the schema is the one file of a data set
 * that every routine is given and no update replaces.  The lock file is
 * made when first needed and left in place.  Locks belong to an open file
 * and are released when their process ends, so a crashed process never
 * leaves a data set locked.  A reader in a folder where no lock file exists
 * or can be made reads without one (no writer can replace a file there).
 * While it holds the lock alone, a writer removes the temporary files that
 * writers killed part way left beside the data file.
 *
 * A host that reads a data set in several passes, or reads, computes and
 * writes back, takes the lock itself with xml_lock:
 *   - shared: the routines it calls share it.  Release it before calling
 *     xml_update, which would otherwise wait for the host's own lock and
 *     fail; xml_update then applies the changes to the current file.
 *   - exclusive: the routines this process calls on the data set work under
 *     the host's lock instead of waiting for it, xml_update and the
 *     plug-ins included, so that reading, computing and writing back is one
 *     step no other process can come between.  The process must then not
 *     call them on that data set from several threads at once. */
#define KEST_LOCK_WAIT_DEFAULT_MS 30000
#define KEST_LOCK_SHARED 1
#define KEST_LOCK_EXCLUSIVE 2
typedef struct KestLock KestLock;

/* xml_lock: takes the lock of the data set whose schema file is
 * schema_path, shared or exclusive, waiting at most wait_ms milliseconds
 * (a negative wait: KEST_LOCK_WAIT_DEFAULT_MS).  *lock receives the lock,
 * to be released with xml_unlock, or null after a failure.  When the
 * process's own exclusive lock already covers the data set, or a shared
 * lock finds no lock file in a folder where none can be made, the lock
 * holds nothing of its own and releasing it changes nothing.
 *   98   lock null (detail 4)
 *   1,0  the schema file does not exist
 *   2    mode not KEST_LOCK_SHARED or KEST_LOCK_EXCLUSIVE (detail: mode)
 *   67   (KEST_ERR_DATA_SET_LOCKED) the wait ran out (detail 1), or the
 *        lock file can neither be opened nor created (detail 2) */
KEST_API void KEST_CALL xml_lock(const char* schema_path, int mode, int wait_ms, KestLock** lock, int* error);

/* xml_unlock: releases a lock from xml_lock; null is accepted. */
KEST_API void KEST_CALL xml_unlock(KestLock* lock);

/* xml_data_size: reads a schema file and reports the number of
 * observations, the number of variables and the buffer size that each
 * variable name needs (longest declared type name plus 1).
 *   67   the data set is locked (see Locks above)
 *   2,0  the schema file cannot be opened
 *   2,1  fewer than two lines; the file ends before a declaration line or
 *        directly after one
 *   1,1  no line from line 3 on begins with "<?Number of observations = "
 *   1,2  that line has no "?>" after the marker, no number text, or a number
 *        outside the range of an int
 *   2,3  a declaration line has no " content" or an empty name
 *   61   a line too long (detail: line number)
 *   62   the number text is longer than 19 characters (detail: line number)
 * num_vars is not checked here: a schema with fewer than three declarations
 * yields num_vars <= 0, which xml_read refuses. */
KEST_API void KEST_CALL xml_data_size(const char* schema_path, int* num_obs, int* num_vars, int* name_size,
                                      int* error);

/* xml_read: reads the data file into the data matrix data[num_obs*num_vars]
 * (row-major), the variable names into the caller's buffers names[j] (each
 * at least name_size bytes, see xml_data_size), the number of category codes
 * of each variable into ncat[num_vars] and the codes into
 * cat_codes[num_vars*max_cats] (code k of variable j at j*max_cats + k).
 * Cells that are missing, have no number, convert to a value that is not
 * finite, or whose status is excluded by status_limit get missing_code and
 * are counted in *n_missing.
 * status_limit: lim = |status_limit|; a cell of level L (Valid 0, Imputed 1,
 * Suspect 2, Error 3, Validn 1) is read when L < lim; a negative limit also
 * excludes Validn.  Missing and absent statuses are always missing.
 *   98   data, ncat, cat_codes or n_missing null (names may be null: then
 *        no name is copied)
 *   67   the data set is locked (see Locks above)
 *   1,0  data file cannot be opened        2,0  schema file cannot be opened
 *   4    num_obs < 1 (detail num_obs)      5    num_vars < 1 (detail num_vars)
 *   11,0 status_limit is 0
 *   1,1  no "<ElementType" line in the schema; no record line in the data
 *        file; the data file ends right after a record line before num_obs
 *        records were read
 *   2,1  no "<ElementType name=" line in the schema
 *   2,3  a variable declaration is missing, has no " content" or an empty name
 *   10   a variable lists more than max_cats codes (detail max_cats)
 *   2,4  the record type declaration is missing, has no " content" or an
 *        empty name
 *   1,2  in a record line a variable's element is absent or has no ">", or
 *        the end tag of a cell read as a value does not follow its start
 *   61, 62 a line or a value text too long (detail: line number)
 *   66   (KEST_ERR_NAME_SIZE) a variable name does not fit the name size
 *        xml_data_size reports for the schema, which counts only the
 *        declarations after the observations line (detail: the variable,
 *        from 0; -1 when the schema cannot be sized); the names before it
 *        are copied.  Checked when the names are read, with names given,
 *        after the schema faults above.
 * A data file with fewer record lines than num_obs, whose last record line
 * is followed by another line, is read up to that line: the remaining rows
 * are left untouched and n_missing counts only the cells read. */
KEST_API void KEST_CALL xml_read(const char* data_path, const char* schema_path, double missing_code,
                                 int num_obs, int num_vars, double* data, char** names, int* ncat,
                                 int* cat_codes, int max_cats, int status_limit, int* n_missing,
                                 int* error);

/* xml_update: rewrites the data file with a change list applied.  Entry k of
 * the change list is cell (change_recs[k], change_vars[k]); entries stand in
 * row-major order and end with -1 in both arrays.  Mode 1 gives the listed
 * cells change_vals[k] and status Imputed; modes 2, 3, 4 keep their values
 * and set Suspect, Error or Missing.  Every other cell keeps its value and
 * status; a cell equal to missing_code is written as Missing, and so is a
 * change value that is not finite (it would read back as missing anyway).
 * Value texts: each value is written in the first of these forms that reads
 * back (as xml_read reads it) as exactly the same double, bit for bit, and
 * has at most KEST_MAX_VALUE_TEXT (19) characters:
 *   1. a whole number when rounding the value half up to a 32-bit integer
 *      gives the value itself (2, -7); two decimals when that holds for 100
 *      times the value (1.50, -0.50); six decimals otherwise (0.125000,
 *      3000000000.000000);
 *   2. the shortest text that reads back as the value, in fixed or
 *      scientific notation whichever is shorter, with a sign and at least two
 *      digits in the exponent (4e-07, 1.2e-05, 2.5e+12, 1.79e+308, -0,
 *      5e-324);
 *   3. otherwise (some values need up to 24 characters) the value is rounded
 *      to the longest fixed or scientific text of at most 19 characters,
 *      whichever reads back nearer to it, and written as that text's value is
 *      by 1 or 2, so that a rewrite keeps it; the call ends with
 *      KEST_WARN_VALUES_ROUNDED.
 * The new file is written beside the old one and replaces it only when it
 * was written and flushed completely, so on any failure the data file is
 * left as it was.  Its permissions are those of the old file.
 * A null change_recs or change_vars makes an empty change list.
 *   98,11 change_vals null in mode 1 with a change list
 *   5    num_obs < 1      6  num_vars < 1      8  mode outside 1..4
 *   67   the data set is locked (see Locks above)
 *   21   the current files cannot be read; detail: the reader's code
 *        (as in xml_read) for the fault found
 *   61, 62 a line or a value text of the current file too long (detail:
 *        line number)
 *   61,0 a line of the new file could exceed KEST_MAX_LINE - 1 characters
 *        (every cell in its longest element with a value text of 19
 *        characters, or a header line with its path); nothing is written
 *   1,0  the new data file cannot be created beside the old one
 *   65   a variable name longer than KEST_MAX_NAME (detail: variable)
 *   2,4  the record type name does not end in "_rec"
 *   1,1  the new data file cannot be written or flushed completely
 *   1,2  the new data file cannot replace the old one
 * The records are read as the new file is written, so 61,0 and 1,0 come
 * before the faults (21, 61, 62) found in record lines after the first.
 *   -30  (KEST_WARN_CHANGES_NOT_APPLIED) the file was written, but some
 *        entries were not applied; detail: how many
 *   -31  (KEST_WARN_VALUES_ROUNDED) the file was written, but some values
 *        were written rounded (form 3 above); detail: how many.  When
 *        entries were not applied as well, -30 is reported.
 * When the data file holds fewer records than num_obs, the records it holds
 * are written and the entries for the others count as not applied. */
KEST_API void KEST_CALL xml_update(const char* data_path, const char* schema_path, const char* xsl_path,
                                   double missing_code, int num_obs, int num_vars, int mode, int n_changes,
                                   const int* change_recs, const int* change_vars, const double* change_vals,
                                   int* error);

/* data_conv: converts a delimited text file into a data set (data file,
 * stylesheet file, schema file).  The dataset name and the variable names
 * are changed in place: blanks (and, in the dataset name, apostrophes)
 * become underscores.  A variable whose cat_flags[j] is above 1 is
 * categorical and lists the first num_codes[j] codes of row j of
 * code_table (row length row_length).  Numbers below valid_floor get status
 * Validn.  delim_type: 0 blank, 1 tab, 2 comma.  A carriage return before a
 * line feed belongs to the line end.
 *   7,1  num_vars < 1            6,1  num_obs < 1
 *   65   a variable name longer than KEST_MAX_NAME (detail: variable)
 *   64   a categorical variable lists fewer than 0 or more than row_length
 *        codes (detail: variable)
 *   61,0 a line of the data file or the schema could exceed
 *        KEST_MAX_LINE - 1 characters (every field as long as
 *        KEST_MAX_FIELD allows, with status Validn; a declaration with its
 *        codes; a header line with its path or the dataset name); checked
 *        before any file is opened, so nothing is written
 *   67   the data set is locked (see Locks above; its lock file is made
 *        beside schema_path)
 *   2,1  text file cannot be opened       3,1  data file cannot be created
 *   4,1  stylesheet cannot be created     5,1  schema cannot be created
 *   4,2  the stylesheet, 5,2 the schema could not be written completely
 *        (a full disk, say)
 *   10,2 the text file ends while header lines are skipped
 *   8    delim_type not 0, 1 or 2 (detail: delim_type)
 *   51   record n+1 is missing, has an unclosed quote or too few fields
 *        (detail: record number counted from 1)
 *   61   a line of the text file too long (detail: line number)
 *   63   a field longer than KEST_MAX_FIELD characters, the last field of
 *        a line counted with its line feed (detail: line number)
 *   3,2  the data file could not be written completely
 * Null pointers: a null dataset_name is 65,-1 and a null var_names or name
 * 65 (detail: variable, from 0); a null cat_flags makes every variable
 * continuous; a null num_codes, or a null code_table when codes are listed,
 * is 64 for the first categorical variable; a null path is a file that
 * cannot be opened or created (2,1 to 5,1); a null error returns at once.
 * Files created before a failure stay as far as they were written. */
KEST_API void KEST_CALL data_conv(char* dataset_name, const char* text_path, const char* data_path,
                                  const char* xsl_path, const char* schema_path, int num_obs, int num_vars,
                                  int delim_type, double valid_floor, int header_lines, char** var_names,
                                  const int* cat_flags, const int* num_codes, const int* code_table,
                                  int row_length, int* error);

/* Name lists: an array of count pointers to character buffers, all owned
 * by the library and released with free_list.  The call for index 0
 * creates the array (count entries, all empty) and stores it in *list;
 * calls for other indices fill the existing array.  Calls with an index
 * outside 0..count-1 of the array, a count below 1 or a size below 1 do
 * nothing (alloc_names then returns NULL); allocation failure leaves the
 * entry empty and alloc_names returns NULL. */
KEST_API void KEST_CALL list_names(char*** list, int count, int index, const char* name);
KEST_API char* KEST_CALL alloc_names(char*** list, int count, int index, int size);
/* Copies entry index followed by the text "</name>" into destination, which
 * must hold the name, 7 more characters and the string end.  Returns 0. */
KEST_API int KEST_CALL get_names(char** list, int index, char* destination);
/* Releases entries 0 to count-1 and then the array; a null list is
 * accepted.  The list must not be used afterwards.
 * A null list (or list pointer) or destination makes a call do nothing
 * (get_names returns 0, alloc_names NULL); list_names with a null name
 * copies nothing (for index 0 the array is still created). */
KEST_API void KEST_CALL free_list(char** list, int count);

/* ------------------------------------------------------------------------ */
/* Random numbers                                                            */
/* ------------------------------------------------------------------------ */

/* Seeds a generator state.  A negative seed takes the current time in whole
 * seconds instead.  The same non-negative seed always gives the same
 * sequence of numbers.  A null state is left alone. */
KEST_API void KEST_CALL set_rand_seed(int seed, RandState* state);

/* ------------------------------------------------------------------------ */
/* Trees                                                                     */
/* ------------------------------------------------------------------------ */

/* Codes of the tree routines besides those listed with each. */
#define KEST_ERR_TREE_FILE 70        /* tree_load: file cannot be opened, or a record or int array is short or malformed */
#define KEST_ERR_TREE_VALUES 71      /* tree_load: split values short; tree_save: cannot write */
#define KEST_ERR_TREE_INCONSISTENT 100
#define KEST_WARN_NOT_CONVERGED (-39) /* waid_tree: a node's weight iteration reached maxit */
#define KEST_WARN_UNSEEN_CATEGORY (-32) /* tree_score: a record met a category unseen at a split */

/* waid_tree: grows a WAID tree (kind 1) predicting column dep_var from the
 * num_selected columns in vars_selected, on rows rec1 .. rec1+num_recs-1 of
 * the data matrix (num_rows rows of num_vars columns, row-major).  When
 * data is null, the library allocates num_rows*num_vars doubles and calls
 * fetch(rec1, num_rows, buffer, error) once to fill them in the layout of the
 * data matrix (row r of the buffer is row r of the matrix); a code above 100
 * left by fetch ends the call, a positive code up to 100 stays and no tree is
 * grown.  ncat[j] is 0 for a continuous column and k > 0 for a categorical
 * one holding the codes 1..k.  weight_scheme: 1 none, 2 sine, 3 biweight,
 * 4 Huber, with tuning constant tuning, tolerance tol and at most maxit
 * passes.  rec_weights[num_recs] receives, per record, the sum of its
 * weights in the internal nodes it passes.  keep = 1 makes every leaf keep
 * the dependent values of its records (truncated to int; values beyond the
 * int range are clamped to it and NaN becomes 0).  *tree receives the root,
 * released with tree_free.  A code up to 100 left by fetch still sets
 * rec_weights to 0.
 * Returns at once when error is null or error[0] is positive on entry;
 * never writes error[1].  Every pointer has its code below.
 *   1 rec1 < 0    2 num_vars < 1    3 num_recs < 2 or rec1+num_recs > num_rows
 *   4 num_rows < 2    5 data and fetch both null    7 num_selected not in
 *   1..num_vars-1    8 a selected column outside 0..num_vars-1 (or
 *   vars_selected null)    9 dep_var outside 0..num_vars-1
 *   10 weight_scheme not 1..4    11 rec_weights null    12 ncat null, a
 *   negative element, or a categorical value (in any row) outside 1..k
 *   13 tol < 0 or NaN    14 maxit < 1    15 tuning < 0 or NaN
 *   16 min_node not in 0..num_recs    17 min_child > min_node/2    19 tree null
 *   99 no memory    100 a partition disagrees with its split search
 *   -39 warning: a weight iteration did not converge (the tree is returned)
 * A min_child below 1 acts as 1.  When every weight of a node is 0 (all
 * dependent values equal, or tuning 0) the node's value is the plain mean of
 * its records.  A cut that leaves only records of weight 0 on one side is
 * never taken. */
KEST_API void KEST_CALL waid_tree(int rec1, int num_vars, int num_recs, int num_rows, const double* data,
                                  KestFetch fetch, int num_selected, const int* vars_selected, int dep_var,
                                  int weight_scheme, double* rec_weights, const int* ncat, double tol, int maxit,
                                  double tuning, int min_node, int min_child, int keep, TreeNode** tree,
                                  int* error);

/* tree_score: passes rows rec1 .. rec1+num_recs-1 down the tree and writes
 * per record a prediction into values[num_recs] and the leaf's spread into
 * spreads[num_recs].  Exactly one of data and fetch is given (fetch as in
 * waid_tree).  imputation_method: 1 the leaf value, 2 the leaf's modal
 * category (kind 1 only), 3 a random donor among the leaf's kept values.
 * route = 1 sends a record whose category was not seen at a split (or lies
 * outside 1..k) down at random in proportion to the training counts;
 * otherwise such a record gets -1 in both outputs.
 * Returns at once when error is null or error[0] is positive on entry;
 * never writes error[1].  Every pointer has its code below.
 *   1 rec1 < 0    2 num_vars < 1    3 num_recs < 2 or rec1+num_recs > num_rows
 *   4 num_rows < 2, or method 3 met a leaf of one record    5 both data and
 *   fetch    6 neither    7 tree null    10 state null while route = 1 or
 *   method 3 needs it    9 method not allowed for the tree's kind, or method 3
 *   on a tree without kept values    100 kind not 1 or 2, or an internal node
 *   with a negative split size    11 values null    12 spreads null
 *   99 no memory    -32 warning: a record met an unseen category
 * The tree is only read: several threads may score one tree at once. */
KEST_API void KEST_CALL tree_score(int rec1, int num_vars, int num_recs, int num_rows, const double* data,
                                   KestFetch fetch, const TreeNode* tree, int route, int imputation_method,
                                   RandState* state, double* values, double* spreads, int* error);

/* tree_save: writes the tree to path (created or replaced): the nodes in
 * pre-order, each a 72-byte little-endian record followed by its split
 * values and its int array.  Writes nothing when error[0] is positive on
 * entry (the file is still created empty).  A null root writes an empty
 * file; a null error returns at once.
 *   71 the file cannot be opened or written (a null path included) */
KEST_API void KEST_CALL tree_save(const TreeNode* root, const char* path, int* error);

/* tree_load: reads a tree written by tree_save into *root_out (null after a
 * failure, but left as it was when the file cannot be opened).  Reads
 * nothing when error[0] is non-zero on entry.  Files are
 * not trusted: anything that is not a well-formed tree (an unknown kind,
 * sizes or counts that do not fit the file, a leaf of a keeping tree
 * without its values, a tree deeper than KEST_MAX_TREE_DEPTH) is refused.
 *   70 the file cannot be opened (a null path included), or a record or an
 *      int array is short or malformed    71 split values are short
 *   99 no memory
 * A null root_out reads and checks the file and releases the tree; a null
 * error returns at once. */
KEST_API void KEST_CALL tree_load(TreeNode** root_out, const char* path, int* error);
#define KEST_MAX_TREE_DEPTH 100000

/* tree_free: releases a tree; a null root is accepted. */
KEST_API void KEST_CALL tree_free(TreeNode* root);

/* gini_tree: grows a Gini classification tree (kind 2) for the categorical
 * column dep_var with K = ncat[dep_var] classes, from the num_selected
 * columns in vars_selected, on rows rec1 .. rec1+num_recs-1 (data and fetch
 * as in waid_tree).  Class k weighs priors[k-1], or 1 when priors is null;
 * for a set S with class counts N_k, W(S) = sum pi_k N_k and G(S) =
 * sum (pi_k N_k)^2 / W(S).  A split maximises G(left) + G(right) and is made
 * only when it exceeds G(node) by at least min_improvement per record (on
 * the scale of the class weights: without priors every class weighs 1).
 * Continuous predictors are cut between sorted values; categorical ones are
 * divided into two groups: with two classes along the categories ordered by
 * their share of class 1, otherwise by trying every division of the m
 * categories present that keeps the highest one on the right (2^(m-1) - 1
 * divisions, each judged from class counts: the time grows with 2^m, not
 * with the records).  Categories whose records all have prior 0 go right.
 * A node holds its majority class (lowest on ties) as value, the majority's
 * share as spread, E/n of its split as statistic and its K class counts as
 * int array; with keep = 1 a leaf holds instead the dependent values of its
 * records (int_count = count).  Categorical values (in every row) must lie
 * in 1..k as they stand, so 2.5 is category 2 of 3 but 3.5 is refused.
 * Returns at once when error is null or error[0] is positive on entry;
 * never writes error[1].  Every pointer has its code below; priors may be
 * null.
 *   1 to 9 as waid_tree (5: data and fetch both null)
 *   10 ncat null, a negative element, ncat[dep_var] = 0, or a categorical
 *      value outside 1..k    11 a prior negative or NaN, or the priors,
 *      added in class order, not exactly 1.0 (0.5, 0.5 passes; 0.7, 0.2,
 *      0.1 adds up to 0.9999999999999999 and fails)
 *   12 min_node not in 0..num_recs    13 min_child > min_node/2
 *   14 min_improvement not in [0, 1] or NaN    16 tree null
 *   99 no memory    100 a partition disagrees with its split search
 * A min_child below 1 acts as 1. */
KEST_API void KEST_CALL gini_tree(int rec1, int num_vars, int num_recs, int num_rows, const double* data,
                                  KestFetch fetch, int num_selected, const int* vars_selected, int dep_var,
                                  const int* ncat, const double* priors, int min_node, int min_child,
                                  double min_improvement, int keep, TreeNode** tree, int* error);

/* anova_tree: grows an ANOVA regression tree (kind 1) for column dep_var
 * from the num_selected columns in vars_selected, on rows rec1 ..
 * rec1+num_recs-1 (data and fetch as in waid_tree).  A node holds the plain
 * mean of its records as value, their sum of squared deviations SS as
 * spread, the modal category of a categorical dependent variable (else -1)
 * as int count, and the between-groups weighted sum of squares of its split
 * as statistic.  Splits are searched as in waid_tree with case weights (the
 * column weight_var; a negative weight_var weighs every record 1) in place
 * of robust weights; a cut that leaves no positive total weight on a side
 * is never taken.  A split is kept only when (SS - SS_left - SS_right) / SS
 * >= min_improvement, with the children's SS as grown; otherwise the node
 * becomes a leaf.  keep = 1 makes every leaf, collapsed ones included,
 * keep the dependent values of its records.  Categorical values (in every
 * row) must lie in 1..k as they stand.
 * Returns at once when error is null or error[0] is positive on entry;
 * never writes error[1].  Every pointer has its code below.
 *   1 to 9 as waid_tree (5: data and fetch both null)
 *   10 weight_var >= num_vars, or a categorical value outside 1..k
 *   11 ncat null or a negative element    12 min_node not in 0..num_recs
 *   13 min_child > min_node/2    14 min_improvement not in [0, 1] or NaN
 *   16 tree null    99 no memory    100 a partition disagrees with its
 *   split search
 * A min_child below 1 acts as 1. */
KEST_API void KEST_CALL anova_tree(int rec1, int num_vars, int num_recs, int num_rows, const double* data,
                                   KestFetch fetch, int num_selected, const int* vars_selected, int dep_var,
                                   int weight_var, const int* ncat, int min_node, int min_child,
                                   double min_improvement, int keep, TreeNode** tree, int* error);

/* ------------------------------------------------------------------------ */
/* Imputation                                                                */
/* ------------------------------------------------------------------------ */

/* Report of gen_imp: five ints.  Elements 0 and 1 are the ErrorPair. */
#define KEST_REPORT_SKIPPED 2   /* recipient groups skipped: too little matching weight left */
#define KEST_REPORT_REDUCED 3   /* recipient groups imputed with a reduced matching weight */
#define KEST_REPORT_NO_DONOR 4  /* recipient groups for which no donor was found */

/* gen_imp: nearest-neighbour donor imputation.  For every recipient group
 * (the missing cells of one record, or one cell when a variable is
 * selected) it finds the closest acceptable donor in the pool under a
 * weighted distance over the variables the recipient has, and writes the
 * donor's values into cell_vals.  The data matrix (n records of len
 * variables, row-major) is not changed.
 *   pool[3]: mode (negative class mode on the categorical variable pool[1];
 *   0 all records 1 .. n-1; positive the records pool[1] .. pool[2]-1).
 *   seed > 0 seeds the draw among tied donors, < 0 seeds it from the clock,
 *   0 takes the first tied donor.  tie_limit >= 1 tied donors are kept.
 *   selector 0 imputes all variables, k >= 1 only variable k (from 1).
 *   reuse 0 adds the total weight to a donor's distance each time it donates.
 *   weights, scales, dist_types: per variable; cat_dist: len blocks of d x d
 *   category distances; ncat and codes (len rows of d) describe the
 *   categorical variables.  *n_cells <= 0: the routine builds the cell list
 *   of every missing cell and stores its length; > 0: the caller supplies
 *   that many cells in cell_recs and cell_vars.
 * report[5]: code, detail, then the counts KEST_REPORT_SKIPPED,
 * KEST_REPORT_REDUCED and KEST_REPORT_NO_DONOR.  A null report makes the
 * call return at once.  Codes in checking order:
 *   98 pool, n_cells or a cell array null, or with len > 0 weights,
 *     scales, dist_types, data or ncat null, then codes null while an
 *     ncat element is positive or cat_dist null while one of distance
 *     type 2 is (detail: its argument number); nothing is written
 *   3 tie_limit < 1    14 n < 1    15 len < 0    11 d < 0    4 selector < 0
 *   6 min_weight < 0
 *   1 the pool: class mode with a class variable outside 0..len-1, fewer
 *     than 2 class codes, or class codes not strictly ascending; range mode
 *     with first < 1, end <= first or end > n
 *   20 a supplied cell's record outside 0..n-1, 21 its variable outside
 *     0..len-1 (detail: position in the list + 1)
 *   7 len 0 or a total weight of 0    6 a negative weight (detail:
 *     variable + 1)
 *   99 no memory (detail: 4 roles, 5 tie list, 7 row copy, 9 category
 *     positions, 10 class codes, 11 donor order, 12 class bounds, 0 other);
 *     when the usage array of the reuse penalty cannot be obtained the
 *     routine prints "Error with memory allocation " and returns with the
 *     report all zero
 *   10 a number of categories below 0 (detail: variable + 1) or above d
 *     (detail 0)
 *   50 class mode: a record's class code is not among the class codes
 *   55 a recipient's categorical value is not among its codes (detail: the
 *     rounded value); that group is skipped, the call goes on.
 * In all-records and range mode record 0 never donates. */
KEST_API void KEST_CALL gen_imp(const int* pool, int seed, int tie_limit, int selector, int reuse, double min_weight,
                                const double* weights, const double* scales, const int* dist_types, const double* cat_dist,
                                int n, int len, const double* data, const int* ncat, const int* codes, int d,
                                double missing_code, int* n_cells, int* cell_recs, int* cell_vars, double* cell_vals,
                                int* report);

/* simp_imp: fills every missing cell with the mean of the variable's
 * observed values (continuous; missing_code when it has none) or its most
 * frequent code (categorical; values are rounded half up before they are
 * matched, the earliest code wins a tie, and the first code stands when
 * none was counted), as a list of cells in record-major order in
 * cell_recs, cell_vars and cell_vals (at most num_recs*num_vars entries),
 * with their number in *n_cells.  When no cell is missing *n_cells is 0 and
 * the arrays are not touched.  The data matrix is not changed.
 * ncat[num_vars] is 0 for a continuous variable and the number of codes,
 * listed first in row k of codes[num_vars*d], for a categorical one.
 *   98 data, ncat or an output null; after the ncat check, codes null
 *      while a variable is categorical (detail 5)
 *   1 num_recs < 1 (detail num_recs)    2 num_vars < 1 (detail num_vars)
 *   10 an ncat element below 0 or above d (detail: variable, from 1)
 *   99 no memory */
KEST_API void KEST_CALL simp_imp(int num_recs, int num_vars, const double* data, const int* ncat, const int* codes, int d,
                                 double missing_code, int* n_cells, int* cell_recs, int* cell_vars, double* cell_vals,
                                 int* error);

/* ------------------------------------------------------------------------ */
/* Estimation                                                                */
/* ------------------------------------------------------------------------ */

/* em: completes the included variables of a data matrix data[n*p]
 * (row-major) by EM under a multivariate normal model.  include[p]: a
 * positive entry includes the variable; an excluded column is neither read
 * nor changed.  weights: null (every record weighs 1) or n weights, each 0
 * or more; a record of weight 0 takes no part, but its missing cells are
 * still listed and filled with the starting means.
 * Every missing cell (equal to missing_code) of an included variable is
 * first set to its variable's mean; then each pass replaces the missing
 * cells of every record by their regression on the record's observed cells,
 * computed from the means and covariance of the previous pass, and forms the
 * means and covariance (divisor n, or the weight sum) of the completed
 * records.  The passes stop when no mean moves by more than tol; at most
 * maxit + 1 passes run, and the result is clean only if the means settle
 * within the first maxit.
 * The filled cells are listed record by record, within a record in column
 * order, in cell_recs/cell_cols (0-based) and cell_vals (final value), room
 * for n*p entries, with their number in *n_cells.
 * When error[0] is positive on entry, em returns at once and changes
 * nothing; otherwise it sets the ErrorPair to 0, 0.  Codes, in checking
 * order (the failures up to 22 change nothing):
 *   98  include, data or an output null (detail: its argument number)
 *   1   n < 2 (detail n)             2   p < 1 (detail p)
 *   6   maxit < 1 (detail maxit)     5   tol below 1e-16 or NaN (detail 0)
 *   9   a weight negative, NaN or infinite (detail: the first such record,
 *       0-based); a weight sum of 0 or one that is not finite (detail -1)
 *   99  working storage not available (detail 1)
 *   22  an included variable has no observed cell among the records that
 *       take part (detail: its 0-based column)
 *   20  detail 1: no missing cell of an included variable among the
 *       records that take part (also when no variable is included);
 *       *n_cells is 0, the data and the lists are untouched
 *   20  detail 2: a record's observed block of the covariance is not
 *       positive definite; the passes stop at once.  The data keep the
 *       values they hold at that moment, and the list and *n_cells are
 *       written all the same (with those current values), so that the
 *       caller can set every changed cell back
 *   21  results complete, but some records had no observed included
 *       variable and got the means (detail: their number in the last pass)
 *   40  the means did not settle within maxit passes (detail maxit); the
 *       results of the last pass are in place.  Replaces a 21. */
KEST_API void KEST_CALL em(int n, int p, const int* include, double* data, double missing_code, double tol, int maxit,
                           const double* weights, int* n_cells, int* cell_recs, int* cell_cols, double* cell_vals, int* error);

/* bacon: finds multivariate outliers among the records of data[n*p]
 * (row-major).  include[p]: a positive entry makes the variable take part
 * (k of them).  Starting from the c*k records closest to the centre, it
 * estimates the centre and covariance of a basic subset, measures every
 * record's squared Mahalanobis distance from it and takes as the next
 * subset the records below a corrected chi-square cutoff at 1 - alpha/w,
 * until the subset keeps its size.  Missing cells (equal to missing_code)
 * are completed by em for the estimates; the distance of an incomplete
 * record uses zero deviations in its missing variables, scaled by k over
 * its observed count.
 * start: 1 = starting subset from Mahalanobis distances after em; any other
 * value = from distances to the coordinate-wise medians, and a value below
 * 1 also leaves out every record with a missing cell (membership -1) and
 * never calls em.
 * The usable count w, which the cutoff and the size checks go by: the
 * records without a missing cell; with start 1, the records less the
 * missing cells counted k cells to a record, a part of a record counted
 * whole (so a record without any observed cell is one record less).
 * member[n] (out): the final subset.  A member holds its weight (1.0
 * without weights), a record outside it 0, a record left out -1.
 * weights: null or n weights, each 0 or more.
 * The data matrix is the same on return as on entry: every cell em fills
 * is set back to missing_code, whatever the outcome.
 * The ErrorPair is set to 0, 0 first.  Codes, in checking order:
 *   98  include, data or member null (detail: its argument number)
 *   2   p < 1 (detail p)                 1   n <= p (detail n)
 *   4   c < 1 (detail 0)                 5   alpha not in (0, 1) (detail 0)
 *   9   a weight negative, NaN or infinite (detail 0)
 *   99  working storage not available (detail 1 to 5)
 *   3   no variable takes part (detail 0)
 *   25  em failed (detail 1000 * em's code + em's detail); em's 0, 20, 21
 *       and 40 are accepted
 *   20  the subset's means and scatter could not be formed (detail: 5 for
 *       an empty subset)
 *   30  scatter or covariance not positive definite (detail: the pivot,
 *       counted from 1)
 *   11  c*k not below the usable count w (detail: k with start 1, w
 *       otherwise)
 *   12  too few usable records for the cutoff's correction: w - h - k <= 0
 *       with h = (w + k + 1) / 2 (detail w)
 *   19  the chi-square cutoff could not be computed (detail: its code)
 *   40  the subset still changed size after KEST_BACON_MAX_PASSES passes
 *       (detail: that bound)
 * After a failure member[] holds whatever was written and must not be
 * used. */
#define KEST_BACON_MAX_PASSES 1000
KEST_API void KEST_CALL bacon(int n, int p, const int* include, double* data, double missing_code, int c, double alpha,
                              int start, double* member, const double* weights, int* error);

/* ------------------------------------------------------------------------ */
/* Reporting                                                                 */
/* ------------------------------------------------------------------------ */

/* summ_stats: summarises each variable of data[num_recs*num_vars]
 * (row-major; a cell equal to missing_code is not observed).
 * ncat[num_vars] (in and out): 0 a continuous variable, otherwise a
 * categorical one whose codes are the first ncat[k] entries of row k of
 * codes[num_vars*a].  a is the row length of codes, mids and freqs.
 * Categorical: freqs row k gets the frequency of each code (values rounded
 * half up before they are matched), n_obs[k] the observed count, and
 * mean, sd, min and max get missing_code.
 * Continuous: n_obs, mean, sd (divisor count - 1), min and max; a
 * histogram of B equal-width bins, B = floor(sqrt(num_recs) + 1) but at
 * most 11 and at most a; ncat[k] becomes -B, row k of mids gets the bin
 * midpoints and row k of freqs the counts.  A value on a bin edge falls
 * into the lower bin, the maximum into the last.
 * A null error makes the call return at once.  Codes, in checking order:
 *   98  data, ncat or an output null, then codes null while an ncat
 *       element is positive (detail: its argument number)
 *   2   num_vars < 1 (detail num_vars)
 *   1   num_recs < num_vars (detail num_recs)
 *   3   a < 1 (detail a)
 *   4   a categorical variable has more than a codes (detail: the
 *       variable, from 1)
 *   (codes 2 to 4 end the call before anything is written)
 *   10  a categorical value that is none of its variable's codes (detail:
 *       (variable + 1) * 10000 + the rounded value, within the int range);
 *       the call ends there, the variables before it stay written
 *   5   a continuous variable with fewer than two observed values (detail:
 *       the first such variable, from 1).  Not fatal: that variable's
 *       outputs, its ncat entry included, stay unwritten and the next
 *       variable follows; the code stays set at the end unless code 10
 *       replaces it. */
KEST_API void KEST_CALL summ_stats(int num_recs, int num_vars, double missing_code, const double* data, int* ncat,
                                   const int* codes, int a, double* mean, double* sd, double* min, double* max, int* n_obs,
                                   double* mids, int* freqs, int* error);

/* bar_chart: writes an SVG file (created or replaced) with one horizontal
 * bar chart per variable, from top to bottom, of the tables summ_stats
 * fills: counts[k] > 0 the frequencies freqs of the codes of row k of
 * codes, < 0 those of the -counts[k] histogram bins labelled with the
 * midpoints of row k of mids, 0 a variable not drawn.  a is the row length
 * of codes, freqs and mids.  Names are written as they are, without
 * escaping of XML special characters (a null name is drawn empty).  A
 * bar's length is floor(frequency * 3750 / largest frequency of its
 * variable), so the longest bar is always 3750 units.  *height receives
 * the drawing's height, 500 + the sum of 200 n + 750 over the drawn
 * variables of n bars.
 * A null error makes the call return at once.  Codes, in checking order
 * (98 and 2 to 4 come before the file is touched):
 *   98   height null, counts null while num_vars > 0, or a table a drawn
 *        variable needs null: codes for a categorical one, freqs for any,
 *        mids for a histogram (detail: its argument number)
 *   2    num_vars < 0 (detail num_vars)
 *   3    a drawn variable has more bars than a (detail: the variable, from
 *        1)
 *   4    the height would exceed the int range (detail 0)
 *   1,1  the file cannot be created
 *   5,0  a drawn variable has no positive frequency: the drawing ends at
 *        its title and the file, closed, is left incomplete
 *   1,2  the file could not be written completely (a full disk, say) */
KEST_API void KEST_CALL bar_chart(const char* path, int num_vars, char** names, const int* counts, const int* codes,
                                  const int* freqs, int a, const double* mids, int* height, int* error);

/* read_rep: reads a report file, one record per line: the record number,
 * a second number (not used), the count n >= 1 and n variable numbers,
 * each followed by a comma, all counted from 1.  Numbers are read as by
 * "%ld" (white space before a number, line ends included, is skipped); a
 * number beyond +-2147483647 cannot be read.
 * pass <= 0 sizes: *num_recs gets the number of records and *total the
 * number of entries (the rest of each line after its first three numbers
 * is skipped; the first line without three numbers ends the file).
 * pass > 0 reads *num_recs records and appends, for each entry, record - 1
 * to rec_list and variable - 1 to var_list; both lists hold *total ints,
 * and no entry is ever written beyond them.  It prints " num = N " with the
 * number of records to standard output first.
 * A null error makes the call return at once.  Codes, in checking order:
 *   98   num_recs or total null, or in a reading pass rec_list or var_list
 *        null (detail: its argument number)
 *   1,1  the file cannot be opened (a null path included)
 *  sizing:
 *   1,0  the file has no first line with three numbers
 *   10   a count below 1 (detail: the line, from 1)
 *   11   more records or entries than an int counts (detail: the line)
 *  reading:
 *   3    *total < 1 (detail *num_recs)
 *   1,0  a record has no three numbers; prints " err = C " with how many
 *        were read (-1 at the end of the file) to standard output
 *   1    an entry cannot be read (detail: the record, from 0)
 *   12   the file holds more entries than *total (detail: the record, from
 *        0); the lists hold the first *total entries
 * The file is closed on every return. */
KEST_API void KEST_CALL read_rep(const char* path, int pass, int* num_recs, int* total, int* rec_list, int* var_list,
                                 int* error);

#ifdef __cplusplus
}
#endif

#endif /* KEST_H */

# Data frames as the library's data matrices: numeric columns as doubles,
# factors (and character columns, taken as factors) as categories coded
# 1..k, missing values as a missing code that no value equals.

# A value no cell equals: the lowest double unless some cell holds it, then
# halved until it is free (the cells hold finitely many values).
missing_code_for <- function(values) {
  values <- values[!is.na(values)]
  code <- -.Machine$double.xmax
  while (any(values == code)) {
    code <- code / 2
    if (code == 0) code <- .Machine$double.xmax
  }
  code
}

as_columns <- function(df, routine) {
  if (!is.data.frame(df)) kest_stop(routine, "expects a data frame")
  if (nrow(df) == 0 || ncol(df) == 0) kest_stop(routine, "the data frame has no records or no variables")
  lapply(df, function(x) {
    if (is.character(x)) x <- factor(x)
    if (is.factor(x)) return(x)
    if (!is.numeric(x) && !is.logical(x)) kest_stop(routine, "a column is neither numeric nor a factor")
    as.double(x)
  })
}

# The data matrix of the columns, row-major, with the library's category
# description.  `cols` keeps the columns (factors with their levels).
data_matrix <- function(df, routine) {
  cols <- as_columns(df, routine)
  numeric_values <- unlist(lapply(cols, function(x) if (is.factor(x)) NULL else x), use.names = FALSE)
  if (any(is.infinite(numeric_values)))
    kest_stop(routine, "a numeric column holds an infinite value; the routines take finite numbers and NA")
  missing <- missing_code_for(numeric_values)
  ncat <- vapply(cols, function(x) if (is.factor(x)) nlevels(x) else 0L, 0L, USE.NAMES = FALSE)
  d <- max(1L, ncat)
  codes <- matrix(0L, nrow = d, ncol = length(cols))
  for (j in which(ncat > 0)) codes[seq_len(ncat[j]), j] <- seq_len(ncat[j])
  numbers <- vapply(cols, function(x) as.double(if (is.factor(x)) as.integer(x) else x),
                    numeric(nrow(df)))
  if (!is.matrix(numbers)) numbers <- matrix(numbers, nrow = nrow(df))
  numbers[is.na(numbers)] <- missing
  list(data = as.double(t(numbers)), n = nrow(df), p = length(cols), ncat = ncat,
       codes = as.integer(codes), d = d, missing = missing, cols = cols, names = names(df))
}

# A new data frame with the listed cells (0-based record and variable)
# given the listed values; factors get the level of the code.
with_cells <- function(df, m, recs, vars, vals) {
  out <- df
  for (j in unique(vars)) {
    at <- vars == j
    col <- m$cols[[j + 1]]
    r <- recs[at] + 1
    if (is.factor(col)) {
      col[r] <- levels(col)[round(vals[at])]
    } else {
      col[r] <- vals[at]
    }
    out[[j + 1]] <- col
  }
  out
}

# Column positions named or numbered by the caller; all when NULL.
column_positions <- function(df, columns, routine, what = "column") {
  if (is.null(columns)) return(seq_along(df))
  if (is.numeric(columns)) {
    if (any(columns < 1 | columns > ncol(df))) kest_stop(routine, paste("a", what, "number is out of range"))
    return(as.integer(columns))
  }
  at <- match(columns, names(df))
  if (anyNA(at)) kest_stop(routine, paste0("there is no ", what, " named '", columns[is.na(at)][1], "'"))
  at
}

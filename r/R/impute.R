# Imputation of the missing cells of a data frame: from donors, with means
# and modes, and by EM.  Each returns a new data frame with the cells filled.

impute_donors <- function(df, by = NULL, columns = NULL, weights = NULL, scales = NULL, distances = NULL,
                          ties = 1, seed = 0, reuse_penalty = FALSE, min_weight = 0) {
  m <- data_matrix(df, "gen_imp")
  per_variable <- function(given, default, what) {
    out <- rep(default, m$p)
    if (is.null(given)) return(out)
    if (is.null(names(given))) {
      if (length(given) != m$p) kest_stop("gen_imp", paste(what, "must be named or give one value per column"))
      return(as.double(given))
    }
    out[column_positions(df, names(given), "gen_imp")] <- as.double(given)
    out
  }
  w <- per_variable(weights, 1, "weights")
  # Scales bring every numeric variable to a range of 1 unless given.
  default_scales <- vapply(m$cols, function(x) {
    if (is.factor(x) || all(is.na(x))) return(1)
    r <- diff(range(x, na.rm = TRUE))
    if (r > 0 && is.finite(r)) 1 / r else 1
  }, 0, USE.NAMES = FALSE)
  s <- default_scales
  if (!is.null(scales)) {
    given <- per_variable(scales, NA, "scales")
    s[!is.na(given)] <- given[!is.na(given)]
  }
  types <- as.integer(per_variable(distances, 0, "distances"))
  if (any(types == 2L & m$ncat > 0)) kest_stop("gen_imp", "distance type 2 (a table of distances between categories) is not offered")

  selector <- 0L
  if (!is.null(columns)) {
    at <- column_positions(df, columns, "gen_imp")
    # One column is imputed cell by cell; several with the record's other
    # gaps, keeping the cells of the chosen columns.
    if (length(at) == 1) selector <- at
  }
  chosen <- column_positions(df, columns, "gen_imp")

  data <- matrix(m$data, nrow = m$n, byrow = TRUE)
  ncat <- m$ncat
  codes <- matrix(m$codes, nrow = m$d)
  rows <- seq_len(m$n)
  pool <- c(0L, 0L, 0L)
  if (!is.null(by)) {
    classes <- column_positions(df, by, "gen_imp", "class variable")
    if (any(ncat[classes] == 0)) kest_stop("gen_imp", "a class variable is not a factor")
    key <- interaction(lapply(classes, function(j) m$cols[[j]]), drop = TRUE, lex.order = TRUE)
    known <- !is.na(key)
    if (nlevels(key) < 2) kest_stop("gen_imp", "the class has fewer than two codes")
    if (any(!known))
      kest_warn("gen_imp", paste(sum(!known), "record(s) whose class is missing were left out"), sum(!known))
    rows <- which(known)
    # The crossed class is one more categorical column that weighs nothing.
    data <- cbind(data[rows, , drop = FALSE], as.integer(key[rows]))
    k <- nlevels(key)
    d <- max(m$d, k)
    codes <- rbind(codes, matrix(0L, nrow = d - m$d, ncol = ncol(codes)))
    codes <- cbind(codes, c(seq_len(k), integer(d - k)))
    ncat <- c(ncat, k)
    w <- c(w, 0)
    s <- c(s, 1)
    types <- c(types, 0L)
    pool <- c(-1L, as.integer(m$p), 0L)
  } else {
    # Row 0 never donates: a stand-in row with no missing cell goes first.
    stand_in <- ifelse(ncat > 0, 1, 0)
    data <- rbind(stand_in, data)
    rows <- c(NA, rows)
  }
  res <- .Call(kr_gen_imp, pool, as.integer(seed), as.integer(ties), as.integer(selector),
               if (reuse_penalty) 0L else 1L, as.double(min_weight), as.double(w), as.double(s), types,
               nrow(data), ncol(data), as.double(t(data)), as.integer(ncat), as.integer(codes),
               as.integer(nrow(codes)), m$missing)
  check_result(res, warn = 55L)
  keep <- (res$vars + 1) %in% chosen
  if (res$report[3] > 0)
    kest_warn("gen_imp", paste(res$report[3], "recipient group(s) found no donor"), res$report[3])
  with_cells(df, m, rows[res$recs[keep] + 1] - 1, res$vars[keep], res$vals[keep])
}

impute_mean <- function(df, columns = NULL) {
  m <- data_matrix(df, "simp_imp")
  res <- .Call(kr_simp_imp, m$n, m$p, m$data, m$ncat, m$codes, m$d, m$missing)
  check_result(res)
  keep <- (res$vars + 1) %in% column_positions(df, columns, "simp_imp") & res$vals != m$missing
  with_cells(df, m, res$recs[keep], res$vars[keep], res$vals[keep])
}

impute_em <- function(df, columns = NULL, weights = NULL, tol = 1e-6, max_passes = 100) {
  m <- data_matrix(df, "em")
  chosen <- if (is.null(columns)) which(m$ncat == 0) else column_positions(df, columns, "em")
  if (any(m$ncat[chosen] > 0)) kest_stop("em", "EM completes numeric columns only; a chosen column is a factor")
  w <- NULL
  if (!is.null(weights)) {
    if (is.character(weights) && length(weights) == 1) {
      wj <- column_positions(df, weights, "em", "weight column")
      chosen <- setdiff(chosen, wj)
      weights <- df[[wj]]
    }
    if (length(weights) != m$n || anyNA(weights)) kest_stop("em", "weights must give every record a number")
    w <- as.double(weights)
  }
  include <- integer(m$p)
  include[chosen] <- 1L
  res <- .Call(kr_em, m$n, m$p, include, m$data, m$missing, as.double(tol), as.integer(max_passes), w)
  if (res$error[1] == 20 && res$error[2] == 1) {
    warning(kest_condition("warning", "em", 20L, 1L, NULL, sys.call()))
    return(df)
  }
  check_result(res, warn = c(21L, 40L))
  with_cells(df, m, res$recs, res$vars, res$vals)
}

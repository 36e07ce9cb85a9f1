# WAID, Gini and ANOVA trees with a formula interface.  A tree is a list
# holding the library's tree (released when R collects it) and what R
# needs to use it: the predictors in their columns, the variable it
# predicts and the levels of factors.

tree_frame <- function(formula, data, routine) {
  mf <- model.frame(formula, data = data, na.action = NULL)
  response <- names(mf)[1]
  preds <- attr(terms(mf), "term.labels")
  preds <- preds[preds %in% names(mf)]
  if (length(preds) == 0) kest_stop(routine, "the formula names no predictor")
  frame <- mf[c(preds, response)]
  frame[] <- lapply(frame, function(x) if (is.character(x)) factor(x) else x)
  list(frame = frame, response = response, predictors = preds)
}

grow_tree <- function(kind, formula, data, settings, priors = NULL, weights = NULL, keep = FALSE) {
  routine <- paste0(kind, "_tree")
  tf <- tree_frame(formula, data, routine)
  frame <- tf$frame
  if (!is.null(weights)) {
    if (length(weights) != nrow(frame)) kest_stop(routine, "weights must give every record a number")
    frame$.weight <- as.double(weights)
    settings["weight_var"] <- length(tf$predictors) + 1
  }
  complete <- stats::complete.cases(frame)
  if (sum(complete) < 2) kest_stop(routine, "fewer than two records have the variable and every predictor")
  frame <- frame[complete, , drop = FALSE]
  m <- data_matrix(frame, routine)
  levels_of <- lapply(m$cols, function(x) if (is.factor(x)) levels(x) else NULL)[seq_len(length(tf$predictors) + 1)]
  s <- c(settings[c("min_node", "min_child")], keep = as.numeric(keep), settings[setdiff(names(settings), c("min_node", "min_child"))])
  res <- .Call(kr_grow, routine, m$n, m$p, m$data, length(tf$predictors), m$ncat, as.double(s), priors)
  check_result(res)
  structure(list(ptr = res$tree, kind = kind, response = tf$response, predictors = tf$predictors,
                 ncat = m$ncat, levels = levels_of, keep = keep, n = m$n, left_out = sum(!complete)),
            class = "kest_tree")
}

waid_tree <- function(formula, data, min_node = 20, min_child = 7, scheme = "biweight", tuning = 4.685,
                      tol = 1e-4, maxit = 50, keep = FALSE) {
  scheme <- match(match.arg(scheme, c("none", "sine", "biweight", "huber")), c("none", "sine", "biweight", "huber"))
  grow_tree("waid", formula, data, c(min_node = min_node, min_child = min_child, scheme = scheme, tol = tol,
                                     maxit = maxit, tuning = tuning), keep = keep)
}

gini_tree <- function(formula, data, min_node = 20, min_child = 7, min_improvement = 0, priors = NULL,
                      keep = FALSE) {
  grow_tree("gini", formula, data, c(min_node = min_node, min_child = min_child, min_improvement = min_improvement),
            priors = if (is.null(priors)) NULL else as.double(priors), keep = keep)
}

anova_tree <- function(formula, data, min_node = 20, min_child = 7, min_improvement = 0, weights = NULL,
                       keep = FALSE) {
  grow_tree("anova", formula, data,
            c(min_node = min_node, min_child = min_child, min_improvement = min_improvement, weight_var = -1),
            weights = weights, keep = keep)
}

# The matrix the tree reads: its predictors in their columns and a column
# for the variable it predicts, which it does not read.
score_matrix <- function(object, newdata) {
  missing_cols <- setdiff(object$predictors, names(newdata))
  if (length(missing_cols) > 0) kest_stop("tree_score", paste0("newdata has no column '", missing_cols[1], "'"))
  cols <- lapply(seq_along(object$predictors), function(i) {
    x <- newdata[[object$predictors[i]]]
    lv <- object$levels[[i]]
    if (!is.null(lv)) {
      code <- match(as.character(x), lv)
      # A level the tree has not seen goes down at random.
      code[is.na(code) & !is.na(x)] <- length(lv) + 1L
      return(as.double(code))
    }
    as.double(x)
  })
  mat <- do.call(cbind, cols)
  cbind(mat, 0)
}

predict.kest_tree <- function(object, newdata, method = NULL, seed = 0, ...) {
  dep_levels <- object$levels[[length(object$predictors) + 1]]
  if (is.null(method)) method <- if (object$kind != "gini" && !is.null(dep_levels)) "mode" else "value"
  method <- match.arg(method, c("value", "mode", "donor"))
  mat <- score_matrix(object, newdata)
  n <- nrow(mat)
  complete <- stats::complete.cases(mat[, -ncol(mat), drop = FALSE])
  out <- rep(NA_real_, n)
  rows <- which(complete)
  if (length(rows) > 0) {
    scored <- mat[rows, , drop = FALSE]
    # The scorer takes at least two records: a single one is scored twice.
    if (length(rows) == 1) scored <- rbind(scored, scored)
    res <- .Call(kr_tree_score, object$ptr, nrow(scored), ncol(scored), as.double(t(scored)),
                 match(method, c("value", "mode", "donor")), as.integer(seed))
    check_result(res)
    out[rows] <- res$values[seq_along(rows)]
  }
  if (!is.null(dep_levels) && method != "value" || object$kind == "gini" && !is.null(dep_levels)) {
    out[!is.na(out) & (out < 1 | out > length(dep_levels))] <- NA
    return(factor(dep_levels[out], levels = dep_levels))
  }
  out
}

print.kest_tree <- function(x, ...) {
  nodes <- .Call(kr_tree_nodes, x$ptr)
  names_of <- c(x$predictors, x$response)
  cat(sprintf("%s tree of %s (%d records)\n", toupper(x$kind), x$response, nodes$count[1]))
  dep_levels <- x$levels[[length(x$predictors) + 1]]
  value_text <- function(v) {
    if (x$kind == "gini" && !is.null(dep_levels) && v >= 1 && v <= length(dep_levels)) dep_levels[v]
    else format(signif(v, 6))
  }
  # Each node after the root is the left or the right child of the last
  # split above it; a stack of the open splits tells which.
  stack <- list()
  for (i in seq_along(nodes$count)) {
    depth <- nodes$depth[i]
    cond <- "root"
    if (depth > 0) {
      parent <- stack[[depth]]
      side <- parent$next_side
      stack[[depth]]$next_side <- "right"
      var <- names_of[parent$var + 1]
      if (parent$size == 0) {
        cond <- sprintf("%s %s %s", var, if (side == "left") "<=" else ">", format(signif(parent$values[1], 6)))
      } else {
        lv <- x$levels[[parent$var + 1]]
        in_group <- which(parent$values == if (side == "left") -1 else 1)
        cond <- sprintf("%s in {%s}", var, paste(if (is.null(lv)) in_group else lv[in_group], collapse = ", "))
      }
    }
    leaf <- nodes$split_var[i] < 0
    cat(sprintf("%s%s: n=%d value=%s spread=%s%s\n", strrep("  ", depth), cond, nodes$count[i],
                value_text(nodes$value[i]), format(signif(nodes$spread[i], 6)), if (leaf) " *" else ""))
    if (!leaf) stack[[depth + 1]] <- list(var = nodes$split_var[i], size = nodes$split_size[i],
                                          values = nodes$split_values[[i]], next_side = "left")
  }
  invisible(x)
}

# The tree file, and beside it PATH.variables.csv (the variables in their
# columns, as the command-line tool records them) and, when the tree has
# factors, PATH.labels.csv with their levels.
save_tree <- function(tree, path) {
  if (!inherits(tree, "kest_tree")) kest_stop("tree_save", "expects a tree")
  check_result(.Call(kr_tree_save, tree$ptr, path.expand(path)), path)
  np <- length(tree$predictors)
  roles <- c(rep("predictor", np), "dependent")
  kinds <- ifelse(tree$ncat > 0, "categorical", "numeric")
  writeLines(c("role,column,name,kind",
               paste(roles, seq_len(np + 1), csv_text(c(tree$predictors, tree$response)), kinds[seq_len(np + 1)], sep = ",")),
             paste0(path, ".variables.csv"))
  lines <- character()
  for (j in seq_len(np + 1))
    if (!is.null(tree$levels[[j]]))
      lines <- c(lines, paste(csv_text(c(tree$predictors, tree$response)[j]), seq_along(tree$levels[[j]]),
                              csv_text(tree$levels[[j]]), sep = ","))
  labels <- paste0(path, ".labels.csv")
  if (length(lines) > 0) writeLines(enc2utf8(c("variable,code,text", lines)), labels, useBytes = TRUE)
  else if (file.exists(labels)) file.remove(labels)
  invisible(path)
}

load_tree <- function(path) {
  res <- .Call(kr_tree_load, path.expand(path))
  check_result(res, path)
  vars_file <- paste0(path, ".variables.csv")
  if (!file.exists(vars_file)) kest_stop("tree_load", paste0("there is no '", vars_file, "' recording the tree's variables"))
  vars <- utils::read.csv(vars_file, colClasses = "character")
  vars <- vars[vars$role != "weight", ]
  np <- sum(vars$role == "predictor")
  levels_of <- vector("list", nrow(vars))
  labels_file <- paste0(path, ".labels.csv")
  if (file.exists(labels_file)) {
    labels <- utils::read.csv(labels_file, colClasses = "character", encoding = "UTF-8")
    for (j in seq_len(nrow(vars))) {
      mine <- labels[labels$variable == vars$name[j], ]
      if (nrow(mine) > 0) levels_of[[j]] <- mine$text[order(as.integer(mine$code))]
    }
  }
  nodes <- .Call(kr_tree_nodes, res$tree)
  dep_cat <- vars$kind[np + 1] == "categorical"
  # The file does not tell a WAID from an ANOVA tree; both predict means.
  kind <- if (nodes$kind == 2) "gini" else "regression"
  structure(list(ptr = res$tree, kind = kind, response = vars$name[np + 1], predictors = vars$name[seq_len(np)],
                 ncat = vapply(levels_of, length, 0L), levels = levels_of, keep = NA, n = nodes$count[1],
                 left_out = 0L),
            class = "kest_tree")
}

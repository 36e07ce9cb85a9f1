# Multivariate outliers of the numeric columns by BACON.

bacon <- function(df, columns = NULL, weights = NULL, alpha = 0.05, size_factor = 4, start = "complete") {
  start <- match.arg(start, c("complete", "em", "median"))
  m <- data_matrix(df, "bacon")
  chosen <- if (is.null(columns)) which(m$ncat == 0) else column_positions(df, columns, "bacon")
  if (any(m$ncat[chosen] > 0)) kest_stop("bacon", "a chosen column is a factor; outliers are sought among numeric columns")
  include <- integer(m$p)
  include[chosen] <- 1L
  w <- if (is.null(weights)) NULL else as.double(weights)
  if (!is.null(w) && length(w) != m$n) kest_stop("bacon", "weights must give every record a number")
  # complete: records with a missing cell take no part; em: the starting
  # subset comes from Mahalanobis distances after EM; median: from the
  # distances to the coordinate-wise medians, with EM for the gaps.
  code <- c(complete = 0L, em = 1L, median = 2L)[[start]]
  res <- .Call(kr_bacon, m$n, m$p, include, m$data, m$missing, as.integer(size_factor), as.double(alpha),
               code, w)
  check_result(res)
  data.frame(outlier = ifelse(res$member < 0, NA, res$member == 0), membership = res$member)
}

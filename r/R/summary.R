# Summary statistics of every column: count, mean, sd, min and max of the
# numeric ones with a histogram, frequencies of the levels of factors.

summary_stats <- function(df) {
  m <- data_matrix(df, "summ_stats")
  a <- max(11L, m$d)
  codes <- matrix(0L, nrow = a, ncol = m$p)
  codes[seq_len(m$d), ] <- matrix(m$codes, nrow = m$d)
  res <- .Call(kr_summ_stats, m$n, m$p, m$missing, m$data, m$ncat, as.integer(codes), a)
  check_result(res, warn = 5L)
  fix <- function(x) ifelse(x == m$missing, NA, x)
  out <- data.frame(variable = names(df), n = res$n_obs, mean = fix(res$mean), sd = fix(res$sd),
                    min = fix(res$min), max = fix(res$max), stringsAsFactors = FALSE)
  mids <- matrix(res$mids, nrow = a)
  freqs <- matrix(res$freqs, nrow = a)
  out$table <- lapply(seq_len(m$p), function(j) {
    k <- res$ncat[j]
    if (k > 0) return(data.frame(level = levels(m$cols[[j]]), count = freqs[seq_len(k), j]))
    if (k < 0) return(data.frame(mid = mids[seq_len(-k), j], count = freqs[seq_len(-k), j]))
    NULL
  })
  out
}

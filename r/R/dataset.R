# Data sets (NAME.xml, NAME.xdr, NAME.xsl and the codebook
# NAME.codebook.csv beside them) in and out of data frames.

status_levels <- c("Valid", "Imputed", "Suspect", "Error", "Missing", "Validn")

data_set_files <- function(path) {
  stem <- sub("\\.xml$", "", path)
  list(data = paste0(stem, ".xml"), schema = paste0(stem, ".xdr"), xsl = paste0(stem, ".xsl"),
       codebook = paste0(stem, ".codebook.csv"), name = basename(stem))
}

read_codebook <- function(path) {
  empty <- data.frame(entry = character(), variable = character(), code = character(), text = character())
  if (!file.exists(path)) return(empty)
  book <- utils::read.csv(path, colClasses = "character", na.strings = character(), encoding = "UTF-8")
  if (!identical(names(book), c("entry", "variable", "code", "text")))
    kest_stop("read_dataset", paste0("the codebook '", path, "' does not start with 'entry,variable,code,text'"))
  book
}

csv_text <- function(x) paste0('"', gsub('"', '""', x, fixed = TRUE), '"')

write_codebook <- function(path, names, originals, labels) {
  lines <- character()
  renamed <- names != originals
  if (any(renamed))
    lines <- c(lines, paste0("name,", names[renamed], ",,", csv_text(originals[renamed])))
  for (j in seq_along(labels))
    if (length(labels[[j]]) > 0)
      lines <- c(lines, paste0("label,", names[j], ",", seq_along(labels[[j]]), ",", csv_text(labels[[j]])))
  if (length(lines) == 0) {
    if (file.exists(path)) file.remove(path)
    return(invisible(FALSE))
  }
  partial <- paste0(path, ".partial")
  con <- file(partial, "wb")
  writeLines(enc2utf8(c("entry,variable,code,text", lines)), con, sep = "\n", useBytes = TRUE)
  close(con)
  if (!file.rename(partial, path)) kest_stop("write_dataset", paste0("cannot write the codebook '", path, "'"))
  invisible(TRUE)
}

read_dataset <- function(path, values = "all") {
  values <- match.arg(values, c("all", "observed"))
  f <- data_set_files(path)
  res <- .Call(kr_read, normalizePath(f$data, mustWork = FALSE), normalizePath(f$schema, mustWork = FALSE))
  check_result(res, f$data)
  n <- res$num_obs
  p <- length(res$names)
  cells <- matrix(res$values, nrow = n, ncol = p, byrow = TRUE)
  status <- matrix(res$status, nrow = n, ncol = p, byrow = TRUE)
  if (values == "observed") cells[!(status %in% c(0L, 5L))] <- NA
  book <- read_codebook(f$codebook)
  data <- vector("list", p)
  for (j in seq_len(p)) {
    x <- cells[, j]
    codes <- res$codes[[j]]
    if (res$ncat[j] > 0) {
      # Values outside the declared codes are kept as levels of their own.
      found <- sort(setdiff(unique(x[!is.na(x)]), codes))
      all_codes <- c(codes, found)
      mine <- book[book$entry == "label" & book$variable == res$names[j], ]
      labels <- as.character(all_codes)
      at <- match(as.character(all_codes), mine$code)
      labels[!is.na(at)] <- mine$text[at[!is.na(at)]]
      data[[j]] <- factor(match(x, all_codes), levels = seq_along(all_codes), labels = make.unique(labels))
    } else {
      data[[j]] <- x
    }
  }
  renamed <- book[book$entry == "name", ]
  shown <- res$names
  at <- match(shown, renamed$variable)
  shown[!is.na(at)] <- renamed$text[at[!is.na(at)]]
  names(data) <- shown
  data <- as.data.frame(data, optional = TRUE, stringsAsFactors = FALSE)
  names(data) <- shown
  status_df <- as.data.frame(lapply(seq_len(p), function(j)
    factor(status_levels[status[, j] + 1], levels = status_levels)), optional = TRUE)
  names(status_df) <- shown
  list(data = data, status = status_df, name = f$name)
}

# Names the data set can hold: the readers find a variable's element by the
# first occurrence of its name on a record line, so a name must not occur
# in the record tag, an earlier name or a status word, nor look like a
# number.  Others change as the tool's --rename changes them.
readable_names <- function(dataset, given) {
  tag <- paste0(gsub("[ ']", "_", dataset), "_rec")
  out <- character()
  words <- c("Status", "Valid", "Validn", "Missing", "Error", "Suspect", "Imputed")
  for (j in seq_along(given)) {
    name <- gsub("[^A-Za-z0-9_.\u0080-\U10FFFF-]", "_", enc2utf8(given[j]), perl = TRUE)
    if (!nzchar(name)) name <- paste0("V", j)
    if (!grepl("^[A-Za-z_\u0080-\U10FFFF]", name, perl = TRUE)) name <- paste0("X", name)
    if (nchar(name) > 40) name <- substr(name, 1, 40)
    clashes <- function(candidate)
      candidate %in% out || grepl(candidate, tag, fixed = TRUE) ||
        any(vapply(c(out, words), function(w) grepl(candidate, w, fixed = TRUE), TRUE)) ||
        grepl("^[eE0-9+.-]*$", candidate)
    candidate <- name
    suffix <- 0
    while (clashes(candidate)) {
      suffix <- suffix + 1
      candidate <- paste0(name, "_", suffix)
    }
    out <- c(out, candidate)
  }
  out
}

# The text of each number: a whole number as such, otherwise R's 15
# significant digits (fixed or scientific, whichever is shorter) when they
# read back as exactly the number, else 16 or 17 digits; where that is
# longer than `width` characters, the nearest number that fits.
number_texts <- function(x, width) {
  text <- character(length(x))
  whole <- x == trunc(x) & abs(x) < 1e15
  text[whole] <- sprintf("%.0f", x[whole])
  rest <- which(!whole)
  text[rest] <- as.character(x[rest])
  for (digits in 16:17) {
    inexact <- rest[as.numeric(text[rest]) != x[rest]]
    text[inexact] <- sprintf("%.*g", digits, x[inexact])
  }
  long <- which(nchar(text) > width)
  for (i in long) {
    for (digits in 15:1) {
      candidate <- sprintf("%.*g", digits, x[i])
      if (nchar(candidate) <= width) break
    }
    text[i] <- candidate
  }
  text
}

write_dataset <- function(df, path, status = NULL) {
  f <- data_set_files(path)
  if (!grepl("^[A-Za-z_][A-Za-z0-9_.' -]*$", f$name))
    kest_stop("data_conv", paste0("the dataset name '", f$name, "' must start with a letter or '_' and hold only ",
                                  "letters, digits, '_', '-', '.', blanks and apostrophes"))
  cols <- as_columns(df, "write_dataset")
  p <- length(cols)
  n <- nrow(df)
  if (!is.null(status)) {
    if (!is.data.frame(status) && !is.matrix(status) || nrow(status) != n || ncol(status) != p)
      kest_stop("write_dataset", "status must have the rows and columns of the data frame")
    status <- matrix(as.character(unlist(lapply(as.data.frame(status), as.character))), nrow = n)
    if (!all(status %in% status_levels))
      kest_stop("write_dataset", paste("status holds a text other than", paste(status_levels, collapse = ", ")))
  } else {
    status <- matrix("Valid", nrow = n, ncol = p)
  }
  originals <- names(df)
  if (is.null(originals)) originals <- rep("", p)
  stored <- readable_names(f$name, originals)
  # A factor whose levels are whole numbers (as read from a data set
  # without labels) keeps them as its codes; other factors are coded 1..k
  # with their levels as labels in the codebook.
  codes <- lapply(cols, function(x) {
    if (!is.factor(x)) return(integer())
    lv <- levels(x)
    whole <- suppressWarnings(as.integer(lv))
    if (length(lv) > 0 && !anyNA(whole) && identical(as.character(whole), lv)) whole else seq_along(lv)
  })
  labels <- lapply(seq_len(p), function(j) {
    x <- cols[[j]]
    if (is.factor(x) && !identical(as.character(codes[[j]]), levels(x))) levels(x) else character()
  })
  numbers <- lapply(seq_len(p), function(j) {
    x <- cols[[j]]
    as.double(if (is.factor(x)) codes[[j]][as.integer(x)] else x)
  })
  if (any(is.infinite(unlist(numbers))))
    kest_stop("write_dataset", "a numeric column holds an infinite value")

  # Cells marked Imputed get their exact values from the writer; the
  # converter holds every other value in 14 characters.
  shortened <- 0
  fields <- vector("list", p)
  for (j in seq_len(p)) {
    x <- numbers[[j]]
    x[status[, j] == "Missing"] <- NA
    text <- rep("", n)
    has <- !is.na(x)
    if (any(has)) {
      t <- number_texts(x[has], 14)
      exact_later <- status[has, j] == "Imputed"
      shortened <- shortened + sum(nchar(number_texts(x[has][!exact_later], 99)) > 14)
      text[has] <- t
    }
    fields[[j]] <- text
  }
  lines <- do.call(paste, c(fields, sep = ","))
  lines <- paste0(lines, ",")

  ncat <- vapply(codes, length, 0L)
  row_length <- max(1L, ncat)
  table <- matrix(0L, nrow = row_length, ncol = p)
  for (j in which(ncat > 0)) table[seq_len(ncat[j]), j] <- codes[[j]]
  flags <- ifelse(vapply(cols, is.factor, TRUE), 2L, 0L)
  for (j in which(flags == 2L & ncat == 0L)) kest_stop("write_dataset", paste0("the factor '", originals[j], "' has no levels"))

  folder <- dirname(f$data)
  if (!dir.exists(folder)) dir.create(folder, recursive = TRUE)
  folder <- normalizePath(folder)
  f$schema <- file.path(folder, basename(f$schema))
  # The converter and the writer's passes run under one exclusive lock, so
  # that no other process reads the data set before its statuses are set.
  # A new data set's lock is made (beside a stand-in schema) before it is.
  stand_in <- !file.exists(f$schema)
  if (stand_in) file.create(f$schema)
  held <- .Call(kr_lock, f$schema)
  if (stand_in && held$error[1] > 0) unlink(f$schema)
  check_result(held, f$data)
  on.exit(.Call(kr_unlock, held$lock), add = TRUE)
  text_file <- tempfile(".kest-write-", tmpdir = folder)
  on.exit(unlink(text_file), add = TRUE)
  writeLines(lines, text_file, sep = "\n", useBytes = TRUE)
  old <- setwd(folder)
  res <- tryCatch(.Call(kr_data_conv, f$name, basename(text_file), basename(f$data), basename(f$xsl),
                        basename(f$schema), n, stored, as.integer(flags), as.integer(ncat),
                        as.integer(table), as.integer(row_length)),
                  finally = setwd(old))
  if (res$error[1] > 0) unlink(c(f$data, f$xsl, f$schema))
  check_result(res, f$data)

  all_numbers <- matrix(unlist(numbers, use.names = FALSE), nrow = n)
  for (mode in 1:3) {
    word <- c("Imputed", "Suspect", "Error")[mode]
    at <- which(t(status) == word) - 1
    if (length(at) == 0) next
    recs <- as.integer(at %/% p)
    vars <- as.integer(at %% p)
    vals <- if (mode == 1) all_numbers[cbind(recs + 1L, vars + 1L)] else rep(0, length(recs))
    upd <- .Call(kr_xml_update, f$data, f$schema, f$xsl, n, p, mode, recs, vars, as.double(vals))
    check_result(upd, f$data)
  }
  if (any(status == "Validn"))
    kest_warn("data_conv", paste(sum(status == "Validn"), "cell(s) marked Validn were written as Valid"),
              sum(status == "Validn"))
  write_codebook(f$codebook, stored, originals, labels)
  if (shortened > 0)
    kest_warn("data_conv", paste(shortened, "number(s) longer than 14 characters kept as the nearest number of 14 characters"),
              shortened)
  invisible(f$data)
}

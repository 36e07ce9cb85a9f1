# Results against independent values (R's own means, rpart's first split of
# iris, robustbase's hbk data with its planted outliers) and round trips of
# data sets through the library's files.

survey_frame <- function() {
  data.frame(region = factor(c("north", "south", NA, "east", "south", "north")),
             income = c(1.5, NA, 3.25, 0.1, -2e10, 0.25),
             age = c(31, 20, NA, 52, 26, 20),
             check.names = FALSE)
}

test_that("data frames round-trip through a data set: values, NA, factors, labels and names", {
  dir <- tempfile("kest-")
  df <- survey_frame()
  df$`W Hnd` <- c(1, 2, 3, 4, 5, 6)  # a name the data set cannot hold
  df$code <- factor(c(5, 2, 5, NA, 2, 5))  # whole-number levels stay the codes
  expect_silent(write_dataset(df, file.path(dir, "survey.xml")))
  back <- read_dataset(file.path(dir, "survey.xml"))
  expect_identical(back$name, "survey")
  expect_equal(back$data, df)
  expect_identical(levels(back$data$region), levels(df$region))
  expect_identical(as.character(back$status$income), c("Valid", "Missing", rep("Valid", 4)))
  book <- readLines(file.path(dir, "survey.codebook.csv"))
  expect_identical(book[1], "entry,variable,code,text")
  expect_true('name,W_Hnd,,"W Hnd"' %in% book)
  expect_true('label,region,3,"south"' %in% book)
  expect_false(any(grepl("^label,code,", book)))
  expect_true(any(grepl('dt:values="2 5', readLines(file.path(dir, "survey.xdr")), fixed = TRUE)))
})

test_that("statuses round-trip, and values = 'observed' hides the cells that are not observed", {
  dir <- tempfile("kest-")
  df <- data.frame(x = c(1, 2, 3, 0.1234567890123456), y = c(10, 20, 30, 40))
  status <- data.frame(x = c("Valid", "Imputed", "Suspect", "Imputed"), y = c("Error", "Valid", "Valid", "Missing"))
  write_dataset(df, file.path(dir, "s.xml"), status = status)
  back <- read_dataset(file.path(dir, "s.xml"))
  expect_identical(lapply(back$status, as.character), lapply(status, as.character))
  expect_identical(back$data$x, df$x)  # Imputed cells keep every digit
  expect_identical(back$data$y, c(10, 20, 30, NA))
  observed <- read_dataset(file.path(dir, "s.xml"), values = "observed")$data
  expect_identical(observed$x, c(1, NA, NA, NA))
  expect_identical(observed$y, c(NA, 20, 30, NA))
  expect_warning(write_dataset(data.frame(x = 0.1234567890123456), file.path(dir, "t.xml")), "14 characters")
})

test_that("records a schema states but the data file lacks read as missing, not as stray memory", {
  dir <- tempfile("kest-")
  write_dataset(data.frame(x = c(1, 2, 3), y = c(4, 5, 6)), file.path(dir, "short.xml"))
  schema <- file.path(dir, "short.xdr")
  writeLines(sub("Number of observations = 3", "Number of observations = 5", readLines(schema)), schema)
  back <- read_dataset(file.path(dir, "short.xml"))
  expect_identical(back$data$x, c(1, 2, 3, NA, NA))
  expect_identical(as.character(back$status$y[4:5]), c("Missing", "Missing"))
})

test_that("failures are R errors carrying the routine, the code and the message", {
  err <- tryCatch(read_dataset(file.path(tempdir(), "none.xml")), error = function(e) e)
  expect_s3_class(err, "kest_error")
  expect_identical(err$routine, "xml_lock")
  expect_identical(err$code, 1L)
  expect_match(conditionMessage(err), "^xml_lock: the schema file does not exist .*\\[code 1, detail 0\\]$")
  err <- tryCatch(bacon(data.frame(x = 1:3, y = 4:6), alpha = 2), error = function(e) e)
  expect_identical(c(err$routine, err$code), c("bacon", "5"))
  expect_warning(impute_em(data.frame(x = c(1, 2, 3), y = c(2, 1, 5))), "no missing cell", class = "kest_warning")
})

test_that("mean and mode imputation equals R's own means and modes", {
  df <- survey_frame()
  out <- impute_mean(df)
  expect_equal(out$income[2], mean(df$income, na.rm = TRUE))
  expect_equal(out$age[3], mean(df$age, na.rm = TRUE))
  expect_identical(as.character(out$region[3]), "north")  # the earliest of the tied modes
  expect_identical(out[-3, "region"], df[-3, "region"])
  only_age <- impute_mean(df, columns = "age")
  expect_true(is.na(only_age$income[2]))
})

test_that("donor imputation fills from the nearest record, within classes", {
  df <- data.frame(g = factor(c("a", "a", "b", "b", "a")), x = c(1, 1.1, 5, 5.2, 1.05), y = c(10, NA, 50, NA, 11))
  out <- impute_donors(df)
  expect_identical(out$y, c(10, 11, 50, 50, 11))  # record 5 lies nearer to record 2 than record 1
  df$g[5] <- "b"
  by_class <- impute_donors(df, by = "g")
  expect_identical(by_class$y, c(10, 10, 50, 50, 11))  # record 5 is in another class
  expect_identical(impute_donors(df, weights = c(g = 1, x = 0, y = 1))$x, df$x)
})

test_that("EM fills a bivariate normal gap by its regression", {
  set.seed(1)
  x <- rnorm(200)
  y <- 2 * x + rnorm(200, sd = 0.1)
  y[1:20] <- NA
  out <- impute_em(data.frame(x = x, y = y))
  expect_equal(out$y[1:20], 2 * x[1:20], tolerance = 0.05)
  expect_identical(out$y[-(1:20)], y[-(1:20)])
})

test_that("bacon finds the 14 planted outliers of the hbk data", {
  skip_if_not_installed("robustbase")
  data("hbk", package = "robustbase", envir = environment())
  b <- bacon(hbk, columns = c("X1", "X2", "X3"))
  expect_identical(which(b$outlier), 1:14)
  expect_identical(sum(b$membership == 1), 61L)
})

test_that("summary_stats equals R's mean, sd, range and table", {
  s <- summary_stats(iris)
  expect_equal(s$mean[1:4], unname(colMeans(iris[1:4])))
  expect_equal(s$sd[1:4], unname(vapply(iris[1:4], sd, 0)))
  expect_equal(s$min[1:4], unname(vapply(iris[1:4], min, 0)))
  expect_identical(s$table[[5]]$count, as.integer(table(iris$Species)))
  expect_identical(sum(s$table[[1]]$count), 150L)
})

test_that("trees split iris as rpart does, predict, print and round-trip through files", {
  g <- gini_tree(Species ~ ., data = iris, min_node = 20, min_child = 7)
  out <- capture.output(print(g))
  expect_match(out[3], "Petal.Length <= 2.45: n=50 value=setosa")
  if (requireNamespace("rpart", quietly = TRUE)) {
    fit <- rpart::rpart(Species ~ ., data = iris)
    expect_identical(rownames(fit$splits)[1], "Petal.Length")
    expect_equal(fit$splits[1, "index"], 2.45)
  }
  p <- predict(g, iris)
  expect_identical(levels(p), levels(iris$Species))
  expect_gt(mean(p == iris$Species), 0.95)
  path <- tempfile(fileext = ".tree")
  save_tree(g, path)
  expect_identical(predict(load_tree(path), iris), p)

  a <- anova_tree(Sepal.Length ~ Petal.Length, data = iris, keep = TRUE)
  v <- predict(a, iris)
  expect_equal(mean(v), mean(iris$Sepal.Length))
  d1 <- predict(a, iris, method = "donor", seed = 3)
  expect_identical(d1, predict(a, iris, method = "donor", seed = 3))
  expect_true(all(d1 == trunc(d1)))  # kept values are whole numbers
  # Case weights count: without the setosa records (weight 0) the first cut
  # moves from between the species to within the other two.
  setosa_out <- ifelse(iris$Species == "setosa", 0, 1)
  first_cut <- function(...) capture.output(print(anova_tree(Sepal.Length ~ Petal.Length, data = iris,
                                                             min_node = 40, min_child = 15, ...)))[3]
  expect_match(first_cut(), "Petal.Length <= 4.25")
  expect_match(first_cut(weights = setosa_out), "Petal.Length <= 5.75")
  w <- waid_tree(Sepal.Length ~ ., data = iris)
  expect_length(predict(w, iris), 150)
  expect_error(gini_tree(Sepal.Length ~ ., data = iris), class = "kest_error")
})

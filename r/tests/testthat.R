library(testthat)
library(kest)
test_check("kest")

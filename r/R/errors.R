# Failures and warnings of the library's routines as R conditions.  Each
# carries the routine, the code and the detail of its ErrorPair, and a
# message in the words of the command-line tool where one fits.

routine_messages <- list(
  xml_lock = c("67" = "the data set is locked by another process, or its lock file cannot be made",
               "1" = "the schema file does not exist"),
  xml_data_size = c("67" = "the data set is locked by another process, or its lock file cannot be made",
                    "2/0" = "cannot open the schema",
                    "2/1" = "the file is not a schema of a data set: it ends before or right after a type declaration",
                    "1/1" = "the schema has no line '<?Number of observations = N?>'",
                    "1/2" = "the number of observations in the schema is missing or out of range",
                    "2/3" = "a type declaration in the schema has no name or no 'content' attribute",
                    "61" = "a line of the schema is too long",
                    "62" = "the number of observations is longer than 19 characters"),
  xml_read = c("67" = "the data set is locked by another process, or its lock file cannot be made",
               "1/0" = "cannot open the data file", "2/0" = "cannot open the schema",
               "4" = "the schema states no records", "5" = "the schema declares no variables",
               "1/1" = "the data file has no record line of the data set declared in the schema, or ends right after a record line before all records were read",
               "2/1" = "the schema declares no types",
               "2/3" = "a variable declaration in the schema is missing, has no name or no 'content' attribute",
               "10" = "a variable in the schema lists too many category codes",
               "2/4" = "the record type declaration in the schema is missing or has no name",
               "1/2" = "a record line lacks a variable's element, or an element's end tag does not follow its value",
               "61" = "a line of the data file or the schema is too long",
               "62" = "a line of the data file or the schema holds a value text longer than 19 characters",
               "66" = "a variable name does not fit the name size of the schema"),
  xml_update = c("5" = "there are no records", "6" = "there are no variables", "8" = "unknown update mode",
                 "67" = "the data set is locked by another process, or its lock file cannot be made",
                 "21" = "the current files cannot be read",
                 "61" = "a line of the data file is too long, or a line of the new file could be",
                 "1/0" = "cannot create the new data file beside the old one",
                 "65" = "a variable name is longer than 49 characters",
                 "2/4" = "the record type name does not end in '_rec'",
                 "1/1" = "the new data file could not be written completely (is the disk full?)",
                 "1/2" = "the new data file cannot replace the old one",
                 "-30" = "some changes could not be applied",
                 "-31" = "some values were written rounded to 19 characters"),
  data_conv = c("7" = "there are no variables to convert", "6" = "there are no records to convert",
                "65" = "a variable name is longer than 49 characters",
                "64" = "the category codes of a variable do not fit the code table",
                "67" = "the data set is locked by another process, or its lock file cannot be made",
                "2" = "cannot open the text file", "3/1" = "cannot create the data file",
                "3/2" = "the data file was not written completely (is the disk full?)",
                "4/1" = "cannot create the stylesheet",
                "4/2" = "the stylesheet was not written completely (is the disk full?)",
                "5/1" = "cannot create the schema", "5/2" = "the schema was not written completely (is the disk full?)",
                "51" = "a record is incomplete",
                "61" = "a line of the data file or the schema could be longer than 1048575 characters (too many variables or codes, or too long a name or path)",
                "63" = "a field is longer than 14 characters"),
  gen_imp = c("1" = "the donor pool is not usable (a class variable with fewer than two codes, or a bad range)",
              "3" = "the number of tied donors must be 1 or more",
              "4" = "the variable to impute is out of range",
              "6" = "a weight is negative", "7" = "the weights add up to 0: give at least one variable a positive weight",
              "10" = "a variable has more category codes than the code table holds",
              "14" = "the data set has no records", "15" = "the data set has no variables",
              "20" = "the list of cells to impute names a cell outside the data set",
              "21" = "the list of cells to impute names a cell outside the data set",
              "50" = "a record's class code is not among the class variable's codes",
              "55" = "recipients holding a category that is not among its variable's codes were not filled"),
  simp_imp = c("1" = "there are no records", "2" = "there are no variables",
               "10" = "a variable has more category codes than the code table holds"),
  em = c("1" = "EM needs at least 2 records", "2" = "there are no variables to complete",
         "6" = "the maximum number of passes must be 1 or more",
         "5" = "the tolerance must be a number of 1e-16 or more",
         "9" = "the record weights are negative, not numbers or add up to 0",
         "22" = "a variable has no observed value, so its mean cannot be estimated",
         "20/1" = "there is no missing cell to fill",
         "20/2" = "the covariance of the variables a record has is not positive definite: one of them is constant, or a linear combination of the others",
         "21" = "records had none of the variables and got the means",
         "40" = "the means did not settle within the maximum number of passes; the values of the last pass are returned"),
  bacon = c("2" = "there are no variables to examine",
            "1" = "outlier detection needs more records than variables",
            "4" = "the size factor must be 1 or more", "5" = "alpha must lie strictly between 0 and 1",
            "9" = "a record weight is negative or not a number", "3" = "no variable takes part",
            "25" = "completing the missing cells with EM failed",
            "20/5" = "the basic subset became empty",
            "20" = "the centre and scatter of the basic subset could not be formed",
            "30" = "the covariance of the basic subset is not positive definite: a variable is constant, or a linear combination of the others, on the records of the subset",
            "11" = "the starting subset is not smaller than the number of usable records",
            "12" = "too few usable records for the cutoff",
            "19" = "the chi-square cutoff could not be computed",
            "40" = "the basic subset still changed size after the most passes allowed"),
  summ_stats = c("2" = "there are no variables", "1" = "there are fewer records than variables",
                 "3" = "the table row length is below 1",
                 "4" = "a categorical variable has more codes than the table holds",
                 "10" = "a categorical value is none of its variable's codes",
                 "5" = "a numeric variable has fewer than two observed values"),
  waid_tree = c("12" = "a categorical value lies outside its codes", "16" = "min_node is not from 0 to the number of records",
                "17" = "min_child is more than half of min_node", "13" = "the tolerance is negative",
                "14" = "maxit must be 1 or more", "15" = "the tuning constant is negative",
                "-39" = "the weighting did not settle within maxit passes in some nodes"),
  gini_tree = c("10" = "the variable to predict is not categorical, or a categorical value lies outside its codes",
                "11" = "the priors must be 0 or more and add up to exactly 1",
                "12" = "min_node is not from 0 to the number of records",
                "13" = "min_child is more than half of min_node",
                "14" = "min_improvement must be from 0 to 1"),
  anova_tree = c("10" = "a categorical value lies outside its codes", "12" = "min_node is not from 0 to the number of records",
                 "13" = "min_child is more than half of min_node", "14" = "min_improvement must be from 0 to 1"),
  tree_score = c("4" = "a leaf of the tree holds a single record, from which method 'donor' cannot draw",
                 "9" = "the method does not suit the tree (method 'mode' needs a regression tree, 'donor' a tree grown with keep = TRUE)",
                 "100" = "the tree is malformed",
                 "-32" = "records met a category not seen at a split and were sent down at random"),
  tree_save = c("71" = "the tree file cannot be written"),
  tree_load = c("70" = "the tree file cannot be opened, or is not a tree file",
                "71" = "the tree file is not a tree file: its split values are short")
)

# The message of a routine's code, looked up by code and detail first.
kest_message <- function(routine, code, detail) {
  if (code == 99) return("out of memory")
  table <- routine_messages[[routine]]
  for (key in c(paste0(code, "/", detail), as.character(code)))
    if (!is.null(table) && key %in% names(table)) return(table[[key]])
  if (code < 0) "the results are in place, with a warning" else "the routine failed"
}

kest_condition <- function(type, routine, code, detail, context, call) {
  text <- kest_message(routine, code, detail)
  if (!is.null(context) && nzchar(context)) text <- paste0(text, " (", context, ")")
  msg <- sprintf("%s: %s [code %d, detail %d]", routine, text, code, detail)
  structure(class = c(paste0("kest_", type), type, "condition"),
            list(message = msg, call = call, routine = routine, code = code, detail = detail))
}

# Raises the ErrorPair of a routine's result: a positive code as an error,
# a negative one (or a code listed in `warn`) as a warning.
check_result <- function(result, context = NULL, warn = integer(), call = sys.call(-1)) {
  code <- result$error[1]
  detail <- result$error[2]
  if (code > 0 && !(code %in% warn))
    stop(kest_condition("error", result$routine, code, detail, context, call))
  if (code < 0 || code %in% warn)
    warning(kest_condition("warning", result$routine, code, detail, context, call))
  invisible(result)
}

# A failure found before any routine is called.
kest_stop <- function(routine, text, call = sys.call(-1)) {
  stop(structure(class = c("kest_error", "error", "condition"),
                 list(message = paste0(routine, ": ", text), call = call, routine = routine,
                      code = NA_integer_, detail = NA_integer_)))
}

# A warning of the package itself (no code of a routine): the routine it
# concerns, NA as the code and a count as the detail.
kest_warn <- function(routine, text, detail = NA_integer_, call = sys.call(-1)) {
  warning(structure(class = c("kest_warning", "warning", "condition"),
                    list(message = paste0(routine, ": ", text), call = call, routine = routine,
                         code = NA_integer_, detail = as.integer(detail))))
}

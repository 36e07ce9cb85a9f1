"""Errors and warnings of the library, in the words of the command-line tool.

Every routine reports an ErrorPair: a positive code is a failure (raised as
KestError), a negative one a warning (issued through Python's warnings as a
KestWarning).  The texts follow the tool's messages for the same routine
and code, so a user meets the same sentence in either place.
"""
import warnings

ANY = object()


class KestError(Exception):
    """A library routine failed: `routine`, `code` and `detail` say how."""

    def __init__(self, routine, code, detail, message):
        super().__init__(f"{routine}: {message} (code {code}, detail {detail})")
        self.routine = routine
        self.code = code
        self.detail = detail
        self.message = message


class KestWarning(UserWarning):
    """A library routine finished with a warning: its results are in place.
    Code 0 marks the binding's own notices (such as records left out)."""

    def __init__(self, routine, code, detail, message):
        super().__init__(f"{routine}: {message}" + (f" (code {code}, detail {detail})" if code else ""))
        self.routine = routine
        self.code = code
        self.detail = detail
        self.message = message


class Context:
    """What a message may name: the files of the call and the variables."""

    def __init__(self, data_file="", schema_file="", text_file="", stylesheet_file="", variables=()):
        self.data_file = data_file
        self.schema_file = schema_file
        self.text_file = text_file
        self.stylesheet_file = stylesheet_file
        self.variables = list(variables)

    def variable_label(self, j):
        if 0 <= j < len(self.variables):
            return f"variable {j + 1} ('{self.variables[j]}')"
        return f"variable {j + 1}"

    def variable_name(self, j):
        if 0 <= j < len(self.variables):
            return f"'{self.variables[j]}'"
        return f"variable {j + 1}"

    def variable_from_one(self, j):
        if 1 <= j <= len(self.variables):
            return f"'{self.variables[j - 1]}'"
        return f"number {j}"


def q(path):
    return f"'{path}'"


def _locked(c, d):
    if d == 2:
        return f"cannot open or create the lock file '{c.schema_file}.lock' of the data set '{c.data_file}'"
    return f"another process is changing the data set '{c.data_file}'; gave up waiting for its lock"


def _em_within_bacon(c, d):
    code = (d + 500) // 1000 if d >= 0 else -((-d + 500) // 1000)
    return "completing the missing cells with EM failed: " + describe("em", code, d - 1000 * code, c)


_TABLE = {
    "data_conv": [
        (7, ANY, lambda c, d: "there are no variables to convert"),
        (6, ANY, lambda c, d: "there are no records to convert"),
        (65, ANY, lambda c, d: f"the name of {c.variable_label(d)} is longer than 49 characters"),
        (64, ANY, lambda c, d: f"the category codes of {c.variable_label(d)} do not fit the code table"),
        (67, ANY, _locked),
        (2, ANY, lambda c, d: f"cannot open the text file {q(c.text_file)}"),
        (3, ANY, lambda c, d: f"the data file {q(c.data_file)} was not written completely (is the disk full?)"
         if d == 2 else f"cannot create the data file {q(c.data_file)}"),
        (4, ANY, lambda c, d: f"the stylesheet {q(c.stylesheet_file)} was not written completely (is the disk full?)"
         if d == 2 else f"cannot create the stylesheet {q(c.stylesheet_file)}"),
        (5, ANY, lambda c, d: f"the schema {q(c.schema_file)} was not written completely (is the disk full?)"
         if d == 2 else f"cannot create the schema {q(c.schema_file)}"),
        (8, ANY, lambda c, d: f"unknown delimiter type {d}"),
        (51, ANY, lambda c, d: f"record {d} of {q(c.text_file)} is incomplete"),
        (61, ANY, lambda c, d: f"line {d} of {q(c.text_file)} is longer than 9999 characters"),
        (63, ANY, lambda c, d: f"line {d} of {q(c.text_file)} has a field longer than 14 characters"),
    ],
    "xml_lock": [
        (67, ANY, _locked),
        (1, ANY, lambda c, d: f"the schema {q(c.schema_file)} does not exist"),
    ],
    "xml_data_size": [
        (67, ANY, _locked),
        (2, 0, lambda c, d: f"cannot open the schema {q(c.schema_file)}"),
        (2, 1, lambda c, d: f"{q(c.schema_file)} is not a schema of a data set: it ends before or right after a "
         "type declaration"),
        (1, 1, lambda c, d: f"{q(c.schema_file)} has no line '<?Number of observations = N?>'"),
        (1, 2, lambda c, d: f"the number of observations in {q(c.schema_file)} is missing or out of range"),
        (2, 3, lambda c, d: f"a type declaration in {q(c.schema_file)} has no name or no 'content' attribute"),
        (61, ANY, lambda c, d: f"line {d} of {q(c.schema_file)} is longer than 9999 characters"),
        (62, ANY, lambda c, d: f"line {d} of {q(c.schema_file)}: the number of observations is longer than "
         "19 characters"),
    ],
    "xml_read": [
        (67, ANY, _locked),
        (1, 0, lambda c, d: f"cannot open the data file {q(c.data_file)}"),
        (2, 0, lambda c, d: f"cannot open the schema {q(c.schema_file)}"),
        (4, ANY, lambda c, d: f"{q(c.schema_file)} states no records"),
        (5, ANY, lambda c, d: f"{q(c.schema_file)} declares no variables"),
        (11, ANY, lambda c, d: "status limit 0 is not allowed"),
        (1, 1, lambda c, d: f"{q(c.data_file)} has no record line of the data set declared in {q(c.schema_file)}, "
         "or ends right after a record line before all records were read"),
        (2, 1, lambda c, d: f"{q(c.schema_file)} declares no types"),
        (2, 3, lambda c, d: f"a variable declaration in {q(c.schema_file)} is missing, has no name or no "
         "'content' attribute"),
        (10, ANY, lambda c, d: f"a variable in {q(c.schema_file)} lists more than {d} category codes"),
        (2, 4, lambda c, d: f"the record type declaration in {q(c.schema_file)} is missing or has no name"),
        (1, 2, lambda c, d: f"a record line of {q(c.data_file)} lacks a variable's element, or an element's end "
         "tag does not follow its value"),
        (61, ANY, lambda c, d: f"line {d} of {q(c.data_file)} or {q(c.schema_file)} is longer than 9999 characters"),
        (62, ANY, lambda c, d: f"line {d} of {q(c.data_file)} holds a value text longer than 19 characters"),
    ],
    "xml_update": [
        (67, ANY, _locked),
        (21, ANY, lambda c, d: f"the current files of {q(c.data_file)} cannot be read (reader's code {d})"),
        (1, 0, lambda c, d: f"cannot create the new data file beside {q(c.data_file)}"),
        (65, ANY, lambda c, d: f"the name of {c.variable_label(d)} is longer than 49 characters"),
        (1, 1, lambda c, d: f"the new data file {q(c.data_file)} could not be written completely "
         "(is the disk full?)"),
        (1, 2, lambda c, d: f"the new data file could not replace {q(c.data_file)}"),
        (-30, ANY, lambda c, d: f"{d} change(s) could not be applied"),
    ],
    "em": [
        (1, ANY, lambda c, d: f"EM needs at least 2 records; the data set has {d}"),
        (2, ANY, lambda c, d: "there are no variables to complete"),
        (6, ANY, lambda c, d: f"the maximum number of passes must be 1 or more, not {d}"),
        (5, ANY, lambda c, d: "the tolerance must be a number of 1e-16 or more"),
        (9, ANY, lambda c, d: "the record weights are negative, not numbers or add up to 0"),
        (22, ANY, lambda c, d: f"{c.variable_name(d)} has no observed value, so its mean cannot be estimated"),
        (20, 1, lambda c, d: "there is no missing cell to fill"),
        (20, 2, lambda c, d: "the covariance of the variables a record has is not positive definite: one of "
         "them is constant, or a linear combination of the others"),
        (21, ANY, lambda c, d: f"{d} record(s) had none of the variables and got the means"),
        (40, ANY, lambda c, d: f"the means did not settle within {d} passes; the values of the last pass stand"),
    ],
    "bacon": [
        (2, ANY, lambda c, d: "there are no variables to examine"),
        (1, ANY, lambda c, d: f"outlier detection needs more records than variables; the data set has {d} "
         f"records for {len(c.variables)} variables"),
        (4, ANY, lambda c, d: "the size factor must be 1 or more"),
        (5, ANY, lambda c, d: "alpha must lie strictly between 0 and 1"),
        (9, ANY, lambda c, d: "a record weight is negative or not a number"),
        (3, ANY, lambda c, d: "no variable takes part"),
        (25, ANY, _em_within_bacon),
        (20, 5, lambda c, d: "the basic subset became empty"),
        (20, ANY, lambda c, d: f"the centre and scatter of the basic subset could not be formed (code {d})"),
        (30, ANY, lambda c, d: f"the covariance of the basic subset is not positive definite at "
         f"{c.variable_name(d - 1)}: it is constant, or a linear combination of the variables before it, on the "
         "records of the subset"),
        (11, ANY, lambda c, d: "the starting subset is not smaller than the number of usable records"),
        (12, ANY, lambda c, d: f"too few usable records ({d}) for the cutoff with {len(c.variables)} variables"),
        (19, ANY, lambda c, d: f"the chi-square cutoff could not be computed (code {d})"),
        (40, ANY, lambda c, d: f"the basic subset still changed size after {d} passes"),
    ],
    "gen_imp": [
        (1, ANY, lambda c, d: "the donor pool is not usable (a class variable with fewer than two codes, or a "
         "bad range)"),
        (3, ANY, lambda c, d: "the number of tied donors must be 1 or more"),
        (4, ANY, lambda c, d: "the variable to impute is out of range"),
        (6, ANY, lambda c, d: f"the weight of variable {c.variable_from_one(d)} is negative" if d > 0
         else "the minimum weight is negative"),
        (7, ANY, lambda c, d: "the weights add up to 0: give at least one variable a positive weight"),
        (10, ANY, lambda c, d: "a variable has more category codes than the code table holds"),
        (11, ANY, lambda c, d: "the code table has a negative row length"),
        (14, ANY, lambda c, d: "the data set has no records"),
        (15, ANY, lambda c, d: "the data set has no variables"),
        (20, ANY, lambda c, d: "the list of cells to impute names a cell outside the data set"),
        (21, ANY, lambda c, d: "the list of cells to impute names a cell outside the data set"),
        (50, ANY, lambda c, d: "a record's class code is not among the class variable's codes"),
        (55, ANY, lambda c, d: f"recipients holding a category that is not among its variable's codes (such as "
         f"{d}) were not filled"),
    ],
    "simp_imp": [
        (1, ANY, lambda c, d: "the data set has no records"),
        (2, ANY, lambda c, d: "the data set has no variables"),
        (10, ANY, lambda c, d: "a variable has more category codes than the code table holds"),
    ],
    "summ_stats": [
        (1, ANY, lambda c, d: f"a summary needs at least as many records as variables; the frame has {d}"),
        (2, ANY, lambda c, d: "there are no variables to summarise"),
        (4, ANY, lambda c, d: f"{c.variable_from_one(d)} has more codes than the table holds"),
        (10, ANY, lambda c, d: f"{c.variable_from_one(d // 10000)} holds the value {d % 10000}, which is none of "
         "its codes"),
    ],
    "tree": [
        (3, ANY, lambda c, d: "a tree needs at least two records"),
        (7, ANY, lambda c, d: "the predictors must be at least one column and fewer than all columns"),
        (9, ANY, lambda c, d: "the method is not offered for this kind of tree, or the tree keeps no values"),
        (10, ANY, lambda c, d: "a setting or a categorical value is out of range (categorical values must be "
         "codes 1..k)"),
        (12, ANY, lambda c, d: "min_node must lie between 0 and the number of records"),
        (13, ANY, lambda c, d: "min_child must be at most half of min_node, or a tolerance is out of range"),
        (14, ANY, lambda c, d: "min_improvement must lie in [0, 1]"),
        (70, ANY, lambda c, d: f"{q(c.data_file)} cannot be opened or is not a tree file"),
        (71, ANY, lambda c, d: f"{q(c.data_file)} cannot be written, or its split values are short"),
        (100, ANY, lambda c, d: "the tree is not consistent"),
        (-39, ANY, lambda c, d: "a node's weight iteration did not converge; the tree is returned"),
        (-32, ANY, lambda c, d: "a record met a category that was not seen at a split"),
    ],
}


def describe(routine, code, detail, context=None):
    """The tool's sentence for a routine's code and detail."""
    c = context or Context()
    if code == 99:
        return "out of memory"
    if code == 98:
        return f"argument {detail} is a null pointer"
    for entry_code, entry_detail, text in _TABLE.get(routine, ()):
        if entry_code == code and (entry_detail is ANY or entry_detail == detail):
            return text(c, detail)
    return f"unexpected failure (code {code}, detail {detail})"


def check(routine, error, context=None, accepted=()):
    """Raises for a failure, warns for a warning; codes in accepted are
    results in place and are issued as warnings."""
    code, detail = int(error[0]), int(error[1])
    if code == 0:
        return
    if code > 0 and code not in accepted:
        raise KestError(routine, code, detail, describe(routine, code, detail, context))
    warn(routine, code, detail, describe(routine, code, detail, context))


def _outside_package():
    """The stack level of the first caller outside this package."""
    import os
    import sys

    package = os.path.dirname(os.path.abspath(__file__))
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == package:
        frame, level = frame.f_back, level + 1
    return level


def warn(routine, code, detail, message):
    warnings.warn(KestWarning(routine, code, detail, message), stacklevel=_outside_package())

"""The lab sheets' condition language: what it computes, three-valued logic
around NaN, and the faults it names with their column."""

import math

import pytest

import labkit  # noqa: F401
from kelvex_lab.expr import ExprError, parse_condition

NAN = math.nan


@pytest.mark.parametrize("text,row,expected", [
    ("abs(a) < 2", {"a": -1.5}, True),
    ("abs(a) < 2", {"a": -2.0}, False),
    ("1 + 2 * 3 == 7", {}, True),
    ("(1 + 2) * 3 == 9", {}, True),
    ("10 - 4 - 3 == 3", {}, True),            # left to right
    ("12 / 3 / 2 == 2", {}, True),
    ("-a > 1", {"a": -3.0}, True),
    ("- -a == 3", {"a": 3.0}, True),
    ("-2 < a < 2", {"a": 1.0}, True),          # chained
    ("-2 < a < 2", {"a": 2.5}, False),
    ("-2 < a < 2", {"a": -2.5}, False),
    ("min(a, b, 7) == 1 and max(a, b) == 4", {"a": 4.0, "b": 1.0}, True),
    ("a < 1 or b < 1", {"a": 5.0, "b": 0.5}, True),
    ("not a < 1 and b > 0", {"a": 5.0, "b": 0.5}, True),   # not binds tighter than and
    ("not (a < 1 or b > 0)", {"a": 5.0, "b": 0.5}, False),
    ("1.5e1 == 15 and .5 == 0.5", {}, True),
    ("a / 0 > 1e300", {"a": 1.0}, True),       # division by zero gives infinity
    ("a != b", {"a": 1.0, "b": 2.0}, True),
    # NaN: every comparison with it is unknown, and not of unknown stays unknown.
    ("a < 2", {"a": NAN}, None),
    ("not a < 2", {"a": NAN}, None),
    ("a < 2 or b < 2", {"a": NAN, "b": 1.0}, True),
    ("a < 2 and b < 2", {"a": NAN, "b": 5.0}, False),
    ("a < 2 and b < 2", {"a": NAN, "b": 1.0}, None),
    ("0 / a < 1", {"a": 0.0}, None),           # 0/0 is NaN
    ("max(a, 1) > 0", {"a": NAN}, None),
])
def test_values(text, row, expected):
    assert parse_condition(text).value(row) is expected


def test_holds_only_when_certainly_true_and_explains_the_sides():
    c = parse_condition("abs(lamp_angle_deg) < 2 and rate_dps < 5")
    assert c.columns == {"lamp_angle_deg", "rate_dps"}
    assert not c.holds({"lamp_angle_deg": NAN, "rate_dps": 1.0})
    # The failing part of an and, with the value of its computed side.
    assert c.explain({"lamp_angle_deg": -3.25, "rate_dps": 1.0}) == "abs(lamp_angle_deg) = 3.25"
    assert c.explain({"lamp_angle_deg": 0.0, "rate_dps": 7.0}) == "rate_dps = 7"


@pytest.mark.parametrize("text,message,column", [
    ("", "the expression is empty", None),
    ("abs(a < 2", "abs() needs a number, found a condition", 5),
    ("abs(a) < 2)", "unexpected ')'", 11),
    ("a <", "expected a number, a column or '(', found the end", 4),
    ("a < 2 and", "expected a number, a column or '(', found the end", 10),
    ("a and b < 2", "'and' needs a condition, found a number: a", 3),
    ("a + (b < 2) > 1", "'+' needs a number, found a condition", 3),
    ("not a", "'not' needs a condition, found a number", 1),
    ("rate_dps", "is a number, not a condition", None),
    ("a < 2 $", "unexpected character '$'", 7),
    ("sqrt(a) < 2", "unknown function 'sqrt'", 1),
    ("abs(a, b) < 2", "abs() takes 1 argument, given 2", 1),
    ("max(a) < 2", "max() takes at least 2 arguments, given 1", 1),
    ("abs < 2", "'abs' is a function", 1),
    ("__import__(os) < 1", "unknown function '__import__'", 1),
    ("__import__('os') < 1", "unexpected character '''", 12),
    ("a.real < 1", "unexpected character '.'", 2),
    ("'a' < 1", "unexpected character '''", 1),
    ("a < 1 < and", "unexpected 'and'", 9),
])
def test_faults_name_their_column(text, message, column):
    with pytest.raises(ExprError) as e:
        parse_condition(text)
    assert message in e.value.message
    assert e.value.column == column


def test_unknown_columns_are_listed_with_their_place():
    c = parse_condition("abs(lamp_angle) < 2 or ratex > 1 or rate_dps > 0")
    assert c.unknown_columns({"lamp_angle_deg", "rate_dps"}) == [("lamp_angle", 5),
                                                                 ("ratex", 24)]

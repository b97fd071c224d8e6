"""Conditions over telemetry columns, as a lab sheet writes them:

    abs(lamp_angle_deg) < 2 and rate_dps < 5

Numbers, column names, + - * /, the comparisons < <= > >= == != (chained as
in -2 < x < 2), and or not, parentheses, abs min max. The text is tokenized
and parsed here by hand; nothing of it ever reaches Python's own evaluator.

A comparison with a NaN on either side is neither true nor false but unknown,
and and/or/not follow three-valued logic, so a missing value can neither make
a condition hold nor, through `not`, make its opposite hold."""

import math
import operator
import re

NUMBER, NAME, OP, END = "number", "name", "op", "end"
KEYWORDS = ("and", "or", "not")
FUNCTIONS = {"abs": (1, 1), "min": (2, None), "max": (2, None)}
COMPARISONS = ("<=", ">=", "==", "!=", "<", ">")

# A condition is a line of a sheet, not a program: these bounds keep a
# mistaken or hostile one to a message, in memory and time that stay small.
MAX_LENGTH = 4000       # characters
MAX_TOKENS = 1000
MAX_NESTING = 32        # parentheses, not, signs and calls inside each other
MAX_DEPTH = 100         # the parsed tree, long chains of + or * included

_TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<number>(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?)
  | (?P<name>[A-Za-z_][A-Za-z0-9_]*)
  | (?P<op><=|>=|==|!=|[<>+\-*/(),])
""", re.VERBOSE)


class ExprError(Exception):
    """A fault in an expression's text; column counts from 1."""

    def __init__(self, message, column=None):
        super().__init__(message)
        self.message = message
        self.column = column

    def __str__(self):
        return self.message if self.column is None else f"{self.message} (column {self.column})"


class Token:
    __slots__ = ("kind", "text", "pos")

    def __init__(self, kind, text, pos):
        self.kind, self.text, self.pos = kind, text, pos

    def describe(self):
        return "the end" if self.kind == END else f"'{self.text}'"


def tokenize(text):
    if len(text) > MAX_LENGTH:
        raise ExprError(f"the expression is too long ({len(text)} characters, at most "
                        f"{MAX_LENGTH})")
    tokens = []
    pos = 0
    while pos < len(text):
        if len(tokens) > MAX_TOKENS:
            raise ExprError(f"the expression has too many terms (more than {MAX_TOKENS} "
                            f"numbers, names and signs)", pos + 1)
        m = _TOKEN.match(text, pos)
        if not m:
            raise ExprError(f"unexpected character '{text[pos]}'", pos + 1)
        kind = m.lastgroup
        if kind != "space":
            tokens.append(Token(kind, m.group(), pos))
        pos = m.end()
    tokens.append(Token(END, "", len(text)))
    return tokens


# Values: floats for numbers; True, False or None (unknown) for conditions.
# Nodes compute whole columns at once (series), one list per node, which
# keeps a 5-minute run's thousands of rows cheap; a single row is a series
# of one.

def _fmt(v):
    if isinstance(v, float):
        if math.isnan(v):
            return "nan"
        return f"{v:.6g}"
    return {True: "true", False: "false", None: "unknown"}[v]


class Node:
    """A piece of the expression. Its text is a span of the one expression
    text all nodes share, cut only when asked: a copy each would make memory
    grow with the square of the expression's length."""
    kind = "number"          # or "condition"

    def __init__(self, span, children=()):
        if isinstance(span, str):
            span = (span, 0, len(span))
        self._source, self._start, self._end = span
        self.children = list(children)
        self.depth = 1 + max((c.depth for c in self.children), default=0)

    @property
    def text(self):
        return self._source[self._start:self._end]

    def columns(self):
        return set().union(*(c.columns() for c in self.children))

    def series(self, cols, n):
        """Values at rows 0..n-1 of cols ({name: list of floats})."""
        raise NotImplementedError

    def evaluate(self, row):
        return self.series({k: [v] for k, v in row.items()}, 1)[0]

    def explain(self, row):
        """What made this node's value, as 'text = value' pieces."""
        return [p for c in self.children for p in c.explain(row)]


class Number(Node):
    def __init__(self, span, value):
        super().__init__(span)
        self.value = value

    def series(self, cols, n):
        return [self.value] * n


class Column(Node):
    def __init__(self, name, pos):
        super().__init__(name)
        self.name = name
        self.pos = pos

    def columns(self):
        return {self.name}

    def series(self, cols, n):
        return cols[self.name]

    def explain(self, row):
        return [f"{self.name} = {_fmt(row[self.name])}"]


def _divide(a, b):
    if b == 0:
        if a == 0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


# Float arithmetic overflows to infinity and never raises; division by zero
# is the one case Python would refuse.
_ARITHMETIC = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": _divide}


class Arithmetic(Node):
    def __init__(self, span, op, left, right):
        super().__init__(span, (left, right))
        self._f = _ARITHMETIC[op]

    def series(self, cols, n):
        left, right = (c.series(cols, n) for c in self.children)
        return list(map(self._f, left, right))


class Negate(Node):
    def __init__(self, span, operand):
        super().__init__(span, (operand,))

    def series(self, cols, n):
        return list(map(operator.neg, self.children[0].series(cols, n)))


def _min(*values):
    return math.nan if any(v != v for v in values) else min(values)


def _max(*values):
    return math.nan if any(v != v for v in values) else max(values)


_FUNCTION_IMPL = {"abs": abs, "min": _min, "max": _max}


class Call(Node):
    def __init__(self, span, name, args):
        super().__init__(span, args)
        self._f = _FUNCTION_IMPL[name]

    def series(self, cols, n):
        return list(map(self._f, *(a.series(cols, n) for a in self.children)))

    def explain(self, row):
        if not self.columns():
            return []
        return [f"{self.text} = {_fmt(self.evaluate(row))}"]


_COMPARE = {"<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge,
            "==": operator.eq, "!=": operator.ne}


def _and(x, y):
    if x is False or y is False:
        return False
    return None if x is None or y is None else True


def _or(x, y):
    if x is True or y is True:
        return True
    return None if x is None or y is None else False


class Compare(Node):
    """a < b <= c ...: every neighbouring pair must hold."""
    kind = "condition"

    def __init__(self, span, operands, ops):
        super().__init__(span, operands)
        self.ops = [_COMPARE[op] for op in ops]

    def series(self, cols, n):
        values = [o.series(cols, n) for o in self.children]
        result = None
        for op, left, right in zip(self.ops, values, values[1:]):
            pair = [None if a != a or b != b else op(a, b) for a, b in zip(left, right)]
            result = pair if result is None else list(map(_and, result, pair))
        return result

    def explain(self, row):
        pieces = []
        for o in self.children:
            if isinstance(o, Column) or not o.columns():
                pieces += o.explain(row)
            else:
                pieces.append(f"{o.text} = {_fmt(o.evaluate(row))}")
        return pieces


class Not(Node):
    kind = "condition"

    def __init__(self, span, operand):
        super().__init__(span, (operand,))

    def series(self, cols, n):
        return [None if v is None else not v for v in self.children[0].series(cols, n)]


class Logic(Node):
    """and / or over two or more conditions, three-valued."""
    kind = "condition"

    def __init__(self, span, op, operands):
        super().__init__(span, operands)
        self.op = op
        self._f = _and if op == "and" else _or

    def series(self, cols, n):
        result = self.children[0].series(cols, n)
        for o in self.children[1:]:
            result = list(map(self._f, result, o.series(cols, n)))
        return result

    def explain(self, row):
        if self.op == "and":
            for o in self.children:
                if o.evaluate(row) is not True:
                    return o.explain(row)
        pieces = []
        for o in self.children:
            pieces += [p for p in o.explain(row) if p not in pieces]
        return pieces


class Parser:
    def __init__(self, text):
        self.text = text
        self.tokens = tokenize(text)
        self.i = 0
        self.nesting = 0

    @property
    def tok(self):
        return self.tokens[self.i]

    def take(self):
        t = self.tokens[self.i]
        self.i += 1
        return t

    def at(self, kind, *texts):
        t = self.tok
        return t.kind == kind and (not texts or t.text in texts)

    def expect_op(self, text):
        if not self.at(OP, text):
            raise ExprError(f"expected '{text}', found {self.tok.describe()}", self.tok.pos + 1)
        return self.take()

    def span(self, start):
        end = self.tokens[self.i - 1]
        return (self.text, start, end.pos + len(end.text))

    def deeper(self, pos):
        """Entering one more level of nesting at pos (a parenthesis, a not,
        a sign, a call): the parser's recursion stays well inside Python's."""
        self.nesting += 1
        if self.nesting > MAX_NESTING:
            raise ExprError(f"nested too deeply (more than {MAX_NESTING} levels)", pos + 1)

    def made(self, node, pos):
        if node.depth > MAX_DEPTH:
            raise ExprError(f"the expression is too deep (more than {MAX_DEPTH} operations "
                            f"inside each other); split it into simpler checks", pos + 1)
        return node

    def parse(self):
        if self.at(END):
            raise ExprError("the expression is empty")
        node = self.logic("or")
        if not self.at(END):
            raise ExprError(f"unexpected {self.tok.describe()}", self.tok.pos + 1)
        return node

    def need(self, node, kind, what, pos):
        if node.kind != kind:
            found = "a number" if node.kind == "number" else "a condition"
            raise ExprError(f"{what} needs {'a number' if kind == 'number' else 'a condition'}, "
                            f"found {found}: {node.text}", pos + 1)
        return node

    def logic(self, op):
        start = self.tok.pos
        lower = (lambda: self.logic("and")) if op == "or" else self.negation
        first = lower()
        operands = [first]
        while self.at(NAME, op):
            at = self.take().pos
            operands.append(lower())
            for o in (operands[0], operands[-1]):
                self.need(o, "condition", f"'{op}'", at)
        if len(operands) == 1:
            return first
        return self.made(Logic(self.span(start), op, operands), start)

    def negation(self):
        if self.at(NAME, "not"):
            start = self.take().pos
            self.deeper(start)
            operand = self.need(self.negation(), "condition", "'not'", start)
            self.nesting -= 1
            return self.made(Not(self.span(start), operand), start)
        return self.comparison()

    def comparison(self):
        start = self.tok.pos
        operands = [self.sum()]
        ops = []
        while self.at(OP, *COMPARISONS):
            t = self.take()
            ops.append(t.text)
            operands.append(self.sum())
            for o in (operands[-2], operands[-1]):
                self.need(o, "number", f"'{t.text}'", t.pos)
        if not ops:
            return operands[0]
        return self.made(Compare(self.span(start), operands, ops), start)

    def binary(self, ops, lower):
        start = self.tok.pos
        node = lower()
        while self.at(OP, *ops):
            t = self.take()
            right = lower()
            for o in (node, right):
                self.need(o, "number", f"'{t.text}'", t.pos)
            node = self.made(Arithmetic(self.span(start), t.text, node, right), t.pos)
        return node

    def sum(self):
        return self.binary(("+", "-"), self.term)

    def term(self):
        return self.binary(("*", "/"), self.unary)

    def unary(self):
        if self.at(OP, "-", "+"):
            t = self.take()
            self.deeper(t.pos)
            operand = self.need(self.unary(), "number", f"'{t.text}'", t.pos)
            self.nesting -= 1
            if t.text == "+":
                return operand
            if isinstance(operand, Number):
                return Number(self.span(t.pos), -operand.value)
            return self.made(Negate(self.span(t.pos), operand), t.pos)
        return self.atom()

    def atom(self):
        t = self.tok
        if t.kind == NUMBER:
            self.take()
            return Number(t.text, float(t.text))
        if t.kind == NAME and t.text in KEYWORDS:
            raise ExprError(f"unexpected '{t.text}'", t.pos + 1)
        if t.kind == NAME:
            self.take()
            if self.at(OP, "("):
                return self.call(t)
            if t.text in FUNCTIONS:
                raise ExprError(f"'{t.text}' is a function: write {t.text}(...)", t.pos + 1)
            return Column(t.text, t.pos)
        if self.at(OP, "("):
            self.deeper(self.take().pos)
            node = self.logic("or")
            self.expect_op(")")
            self.nesting -= 1
            return node
        raise ExprError(f"expected a number, a column or '(', found {t.describe()}", t.pos + 1)

    def argument(self, name):
        at = self.tok.pos
        return self.need(self.logic("or"), "number", f"{name.text}()", at)

    def call(self, name):
        if name.text not in FUNCTIONS:
            raise ExprError(f"unknown function '{name.text}' (there are abs, min, max)",
                            name.pos + 1)
        self.deeper(self.expect_op("(").pos)
        args = [self.argument(name)]
        while self.at(OP, ","):
            self.take()
            args.append(self.argument(name))
        self.expect_op(")")
        self.nesting -= 1
        low, high = FUNCTIONS[name.text]
        if len(args) < low or (high is not None and len(args) > high):
            count = f"{low}" if low == high else f"at least {low}"
            raise ExprError(f"{name.text}() takes {count} argument{'s' if low > 1 else ''}, "
                            f"given {len(args)}", name.pos + 1)
        return self.made(Call(self.span(name.pos), name.text, args), name.pos)


class Condition:
    """A parsed condition: holds(row) is true only when it is certainly true."""

    def __init__(self, text, root):
        self.text = text
        self.root = root
        self.columns = root.columns()

    def value(self, row):
        return self.root.evaluate(row)

    def holds(self, row):
        return self.root.evaluate(row) is True

    def holds_over(self, cols, n):
        """[bool] for rows 0..n-1 of cols ({name: list of floats})."""
        return [v is True for v in self.root.series(cols, n)]

    def explain(self, row):
        pieces = self.root.explain(row)
        return ", ".join(pieces) if pieces else _fmt(self.root.evaluate(row))

    def drawn(self):
        """What a plot of the condition shows: the compared quantities that
        read telemetry, as (text, node), and the constant sides they are
        compared with (the thresholds), as numbers."""
        quantities, limits = {}, set()

        def walk(node):
            if isinstance(node, Compare):
                for o in node.children:
                    if o.columns():
                        quantities.setdefault(o.text, o)
                    else:
                        v = o.evaluate({})
                        if isinstance(v, float) and math.isfinite(v) or isinstance(v, int):
                            limits.add(float(v))
            for child in node.children:
                walk(child)

        walk(self.root)
        return list(quantities.items()), sorted(limits)

    def unknown_columns(self, known):
        """Column references that are not in known, as (name, column)."""
        found = []

        def walk(node):
            if isinstance(node, Column) and node.name not in known:
                found.append((node.name, node.pos + 1))
            for child in node.children:
                walk(child)

        walk(self.root)
        return found


def excerpt(text, width=80):
    """text as an error message quotes it: a long one cut, with its length."""
    if len(text) <= width:
        return text
    return f"{text[:width]}... ({len(text)} characters)"


def parse_condition(text):
    """Parses text into a Condition; raises ExprError."""
    root = Parser(text).parse()
    if root.kind != "condition":
        raise ExprError(f"'{excerpt(text)}' is a number, not a condition: compare it with "
                        f"something, such as {excerpt(text)} < 2")
    return Condition(text, root)

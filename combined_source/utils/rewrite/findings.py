"""Findings: what a run changed or would change in a file, or why it could
not, each with its place and the name of the rule behind it.

Positions are 1-based lines and columns as the source shows them (a column
counts characters from 1, not bytes); `end_line` and `end_column` close the
span (the column just after its last character). `old` and `new` are the
source texts before and after, where the finding is a change."""
from typing import NamedTuple


class Finding(NamedTuple):
    line: int
    column: int
    end_line: int
    end_column: int
    rule: str
    message: str
    old: str = ""
    new: str = ""

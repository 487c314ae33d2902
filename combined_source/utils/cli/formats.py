"""The findings of a run in the formats CI reads, the statistics per rule
and the list of rules. Each format takes (path, finding) pairs; the
findings are `combined_source.utils.findings.Finding`s."""
import difflib
import hashlib
import json

from ..findings import CHANGE, ERROR, RULES, WARNING, describe, kind_of

FORMATS = ("text", "json", "github", "gitlab")


def unknown(what, name, known):
    """The message for an unknown format or rule name, with the closest
    known one when there is one."""
    close = difflib.get_close_matches(name, known, 1)
    return "unknown %s %r%s; choose from %s" % (
        what, name, " (did you mean %s?)" % close[0] if close else "", ", ".join(known))


def rule_lines(names=None):
    """One line per rule: its name, its kind and what it stands for."""
    width = max(map(len, RULES))
    return ["%-*s  %-7s  %s" % (width, name, RULES[name][0], RULES[name][1]) for name in (names or RULES)]


def severity(finding, check):
    """What a finding is to CI: its kind, where a change counts as an error
    when the run is a check (it fails the run) and as a notice otherwise."""
    kind = kind_of(finding.rule)
    if kind == CHANGE:
        return ERROR if check else "notice"
    return kind


def as_dicts(items, check):
    return [{"file": path, "line": f.line, "column": f.column, "end_line": f.end_line, "end_column": f.end_column,
             "rule": f.rule, "severity": severity(f, check), "message": f.message, "old": f.old, "new": f.new}
            for path, f in items]


def to_json(items, check):
    """One JSON array of the findings."""
    return json.dumps(as_dicts(items, check), indent=2, ensure_ascii=False) + "\n"


def _data(text):
    """`text` escaped as a workflow command's message."""
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _property(text):
    """`text` escaped as a workflow command's property value."""
    return _data(text).replace(":", "%3A").replace(",", "%2C")


def to_github(items, check):
    """One workflow command per finding, which GitHub Actions shows as an
    annotation on its file and lines."""
    lines = []
    for path, f in items:
        lines.append("::%s file=%s,line=%d,col=%d,endLine=%d,endColumn=%d,title=%s::%s\n" % (
            severity(f, check), _property(path), f.line, f.column, f.end_line, f.end_column,
            _property(f.rule), _data(f.message)))
    return "".join(lines)


# Severities of a code-quality report.
_GITLAB_SEVERITY = {ERROR: "critical", WARNING: "minor", "notice": "info"}


def to_gitlab(items, check):
    """A GitLab code-quality report: one JSON array of issues. A finding's
    fingerprint hashes its file, rule and texts, not its line (so it stays
    when lines above it come and go), and the count of the same before it
    in the file (so equal findings differ)."""
    issues, seen = [], {}
    for path, f in items:
        key = (path, f.rule, f.message, f.old, f.new)
        seen[key] = n = seen.get(key, 0) + 1
        fingerprint = hashlib.sha256(json.dumps(key + (n,)).encode("utf-8", "surrogatepass")).hexdigest()
        issues.append({
            "description": f.message,
            "check_name": f.rule,
            "fingerprint": fingerprint,
            "severity": _GITLAB_SEVERITY[severity(f, check)],
            "location": {"path": path, "positions": {"begin": {"line": f.line, "column": f.column},
                                                     "end": {"line": f.end_line, "column": f.end_column}}},
        })
    return json.dumps(issues, indent=2, ensure_ascii=False) + "\n"


WRITERS = {"json": to_json, "github": to_github, "gitlab": to_gitlab}


def statistics(items):
    """The table of counts per rule: most frequent first, then by name."""
    counts = {}
    for _, f in items:
        counts[f.rule] = counts.get(f.rule, 0) + 1
    if not counts:
        return ""
    width = max(map(len, counts))
    rows = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))
    return "".join("%5d  %-*s  %s\n" % (n, width, rule, describe(rule)) for rule, n in rows)

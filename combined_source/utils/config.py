"""Defaults of the command line from the project's ``pyproject.toml``, and
``--version``.

Options come from the ``[tool.orb-postprocess]`` table of the file named by
``--config``, or else of the nearest ``pyproject.toml`` that has one, searched
from the folder that holds all the paths given (for standard input, the
folder of ``--stdin-filename``, or the current folder) upwards. Options given
on the command line win over the file.
"""
import argparse
import os
import re
import sys

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

FILE = "pyproject.toml"
TABLE = "orb-postprocess"


class ConfigError(Exception):
    """A configuration file that cannot be used; the message names the file."""


def error(parser, message):
    """Ends the run with exit status 2 for a fault of the configuration: the
    message names the file and the key, and the command line's usage, which
    has nothing to do with it, is left out."""
    parser.exit(2, "%s: error: %s\n" % (parser.prog, message))


def regex(text):
    """The compiled expression of an option or key; a multi-line value is
    read in verbose mode, so that a long one can be spread over lines of a
    TOML string. Raises ValueError with the compiler's complaint."""
    try:
        return re.compile(text, re.VERBOSE if "\n" in text else 0)
    except re.error as e:
        raise ValueError("not a valid regular expression: %s" % e) from None


def _text(value, base):
    return value if isinstance(value, str) else None


def _flag(value, base):
    return value if isinstance(value, bool) else None


def _count(value, base):
    ok = isinstance(value, int) and not isinstance(value, bool) and value >= 1
    return value if ok else None


def _path(value, base):
    # Relative paths are taken from the folder of the file that names them.
    return os.path.join(base, value) if isinstance(value, str) and value else None


def _regex(value, base):
    return regex(value) if isinstance(value, str) else None  # a ValueError names what is wrong with it


# Key in the table -> (option destination, reader, what the value must be).
OPTIONS = {
    "object-name": ("object_name", _text, "a string"),
    "orb-api": ("orb_api", _flag, "true or false"),
    "new-name": ("new_name", _text, "a string"),
    "transpose": ("transpose", _flag, "true or false"),
    "dtype-map": ("dtype_map", _path, "the path of a JSON file, relative to %s" % FILE),
    "allow-reformat": ("allow_reformat", _flag, "true or false"),
    "skip-comments": ("skip_comments", _flag, "true or false"),
    "add-import": ("add_import", _flag, "true or false"),
    "jobs": ("jobs", _count, "a whole number of at least 1"),
    "quiet": ("quiet", _flag, "true or false"),
    "include": ("include", _regex, "a regular expression"),
    "exclude": ("exclude", _regex, "a regular expression"),
    "extend-exclude": ("extend_exclude", _regex, "a regular expression"),
    "force-exclude": ("force_exclude", _regex, "a regular expression"),
    "cache": ("cache", _flag, "true or false"),
}


def start_folder(paths):
    """The deepest folder that holds every path (a folder holds itself)."""
    folders = []
    for path in paths:
        if path == "-":
            folders.append(os.getcwd())
        else:
            path = os.path.abspath(path)
            folders.append(path if os.path.isdir(path) else os.path.dirname(path))
    return os.path.commonpath(folders) if folders else os.getcwd()


def read_table(path):
    """The ``[tool.orb-postprocess]`` table of the file at `path`, or None."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise ConfigError("%s: cannot read: %s" % (path, e.strerror or e)) from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise ConfigError("%s: not valid TOML: %s" % (path, e)) from None
    tool = data.get("tool")
    table = tool.get(TABLE) if isinstance(tool, dict) else None
    if table is not None and not isinstance(table, dict):
        raise ConfigError("%s: [tool.%s] must be a table" % (path, TABLE))
    return table


def find(paths):
    """(file, table) of the nearest file with the table above `paths`, or None."""
    folder = start_folder(paths)
    while True:
        candidate = os.path.join(folder, FILE)
        if os.path.isfile(candidate):
            table = read_table(candidate)
            if table is not None:
                return candidate, table
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent


def defaults(path, table):
    """The option defaults that `table`, read from `path`, sets, and where
    each one comes from ("FILE: [tool.TABLE] KEY", for messages)."""
    values, origins, keys = {}, {}, {}
    for key, value in table.items():
        known = OPTIONS.get(key.replace("_", "-"))
        if known is None:
            raise ConfigError("%s: [tool.%s]: unknown option %r (known: %s)"
                              % (path, TABLE, key, ", ".join(OPTIONS)))
        dest, read, expected = known
        if dest in keys:  # object_name and object-name: one of the two would be silently lost
            raise ConfigError("%s: [tool.%s]: %r and %r are the same option; give it once" % (
                path, TABLE, keys[dest], key))
        keys[dest], origins[dest] = key, "%s: [tool.%s] %s" % (path, TABLE, key)
        try:
            got = read(value, os.path.dirname(path))
        except ValueError as e:
            raise ConfigError("%s: [tool.%s] %s: %s" % (path, TABLE, key, e)) from None
        if got is None:
            raise ConfigError("%s: [tool.%s] %s: expected %s, got %r" % (path, TABLE, key, expected, value))
        values[dest] = got
    return values, origins


def parse_args(parser, argv=None):
    """Parses `argv` with the defaults of the configuration file in force,
    whose path becomes `args.config` (None when there is none);
    `args.origins` maps each option whose value the file gave to the file
    and key, for messages about that value. A fault of the file ends the
    run (`error`)."""
    args = parser.parse_args(argv)
    try:
        if args.config is not None:
            found = (args.config, read_table(args.config) or {})
        else:
            found = find([args.stdin_filename if p == "-" and args.stdin_filename else p for p in args.paths])
        values, origins = defaults(*found) if found else ({}, {})
    except ConfigError as e:
        error(parser, str(e))
    if values:
        given = {dest for dest in values if getattr(args, dest) != parser.get_default(dest)}
        parser.set_defaults(**values)
        args = parser.parse_args(argv)
        origins = {dest: origin for dest, origin in origins.items() if dest not in given}
    args.config = found[0] if found else None
    args.origins = origins
    return args


class VersionAction(argparse.Action):
    """``--version``: prints the installed version and exits. The version is
    read only when asked for, so that other runs read no package metadata."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show the version and exit"):
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from . import __version__

        sys.stdout.write("%s %s\n" % (TABLE, __version__))  # the command's name, however it was called
        parser.exit()

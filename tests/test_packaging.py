"""What a user installs: the package the suite imports, the type stub against
the module, the extension installed alone into a host package, and the
pre-commit hooks. The last two build the extension and are slow (ZOK_SLOW=1)."""
import ast
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import combined_source
from combined_source.utils import ZOK, cli

ROOT = Path(__file__).resolve().parent.parent
HOST = ("HUJ", "KQA", "TEH", "RUF", "W")


def slow(test):
    return pytest.mark.slow(pytest.mark.skipif(not os.environ.get("ZOK_SLOW"),
                                               reason="builds the extension: set ZOK_SLOW=1")(test))


@pytest.mark.skipif(not os.environ.get("ZOK_INSTALLED"), reason="set when the suite runs against an installed wheel")
def test_suite_imports_the_installed_package():
    site = {os.path.realpath(sysconfig.get_paths()[k]) for k in ("purelib", "platlib")}
    for module in (combined_source, ZOK, cli):
        path = os.path.realpath(module.__file__)
        assert any(path.startswith(s + os.sep) for s in site), path


def stub_functions(path):
    """{(class or None, name): (parameter names, defaults)} of the functions in a stub."""
    found = {}
    for node in ast.parse(path.read_text()).body:
        for owner, item in ([(node.name, i) for i in node.body] if isinstance(node, ast.ClassDef) else [(None, node)]):
            if isinstance(item, ast.FunctionDef):
                a = item.args
                found[owner, item.name] = ([p.arg for p in a.args], [ast.literal_eval(d) for d in a.defaults])
    return found


def test_stub_matches_the_module():
    # The module's methods are not functions that inspect.signature can read,
    # so their parameters are compared through their code objects.
    import combined_source.utils as package

    # Next to the module, or (editable install) in the package's source folder.
    stub = stub_functions(next(p for p in (Path(d) / "ZOK.pyi" for d in [os.path.dirname(ZOK.__file__),
                                                                         *package.__path__]) if p.exists()))
    cls = ZOK.FrontendTorchCodePostProcessor
    runtime = {(cls.__name__, name): f for name, f in vars(cls).items() if callable(f) and hasattr(f, "__code__")}
    assert sorted(stub) == sorted(runtime)
    for key, f in runtime.items():
        code = f.__code__
        assert stub[key] == (list(code.co_varnames[:code.co_argcount]), list(f.__defaults__ or ())), key


def cmake():
    found = shutil.which("cmake")
    if not found or not (ROOT / "CMakeLists.txt").exists():
        pytest.skip("needs cmake and the project sources")
    return found


@slow
def test_extension_alone_into_a_host_package(tmp_path):
    # A host package made of the stand-ins, under a name of its own (so that no
    # other install of this project can answer the import).
    site = tmp_path / "site"
    utils = site / "host" / "utils"
    utils.mkdir(parents=True)
    (site / "host" / "__init__.py").write_text("")
    (utils / "__init__.py").write_text("")
    for name in HOST:
        shutil.copy(importlib.util.find_spec("combined_source.utils." + name).origin, utils / (name + ".py"))
    build = tmp_path / "build"
    ninja = Path(sys.executable).parent / "ninja"
    generator = ["-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=%s" % ninja] if ninja.exists() else []
    steps = [
        [cmake(), "-S", str(ROOT), "-B", str(build), *generator, "-DPython_EXECUTABLE=%s" % sys.executable,
         "-DZOK_INSTALL_DIR=host/utils"],
        [cmake(), "--build", str(build)],
        [cmake(), "--install", str(build), "--component", "ZOK", "--prefix", str(site), "--strip"],
    ]
    for step in steps:
        proc = subprocess.run(step, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-2000:]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert sorted(p.name for p in utils.iterdir()) == sorted(
        ["__init__.py", "ZOK" + suffix, "ZOK.pyi"] + [n + ".py" for n in HOST])
    script = textwrap.dedent("""
        import gast, host.utils.ZOK as Z
        from host.utils.TEH import ObjectLike, Transformer
        from host.utils.KQA import BaseTransformerConfig
        from host.utils.RUF import ast_to_source_code
        tree = gast.parse("x = torch.Tensor(a, requires_grad=True)")
        Z.FrontendTorchCodePostProcessor(tree, Transformer(ObjectLike(object, "")), BaseTransformerConfig()).transform()
        print(Z.__file__)
        print(ast_to_source_code(tree).strip())
    """)
    proc = subprocess.run([sys.executable, "-c", script], cwd=str(tmp_path), capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=str(site)))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [str(utils / ("ZOK" + suffix)), "x = orb.Array(a)"]


def git(cwd, *args):
    subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t", *args], cwd=str(cwd), check=True,
                   capture_output=True)


@slow
def test_pre_commit_hooks(tmp_path):
    pre_commit = Path(sys.executable).parent / "pre-commit"
    if not pre_commit.exists() or not (ROOT / ".pre-commit-hooks.yaml").exists() or subprocess.run(
            ["git", "-C", str(ROOT), "rev-parse"], capture_output=True).returncode:
        pytest.skip("needs pre-commit and the project's git work tree")
    repo = tmp_path / "repo"
    repo.mkdir()
    (repo / "a.py").write_text("x = torch.Tensor(a, requires_grad=True)\n")
    (repo / "b.py").write_text("y  =  f( 1 )\n")
    (repo / "c.txt").write_text("torch.Tensor(a)\n")
    git(repo, "init", "-q")
    git(repo, "add", ".")
    env = dict(os.environ, PRE_COMMIT_HOME=str(tmp_path / "cache"))

    def try_repo(hook):
        proc = subprocess.run([str(pre_commit), "try-repo", str(ROOT), hook, "--all-files"], cwd=str(repo), env=env,
                              capture_output=True, text=True, timeout=600)
        return proc.returncode, proc.stdout + proc.stderr

    rc, out = try_repo("orb-postprocess-check")
    assert rc == 1, out
    assert "-x = torch.Tensor(a, requires_grad=True)\n+x = orb.Array(a)" in out and "a.py:1:5: would rewrite (type-name)" in out, out
    assert (repo / "a.py").read_text() == "x = torch.Tensor(a, requires_grad=True)\n"
    rc, out = try_repo("orb-postprocess")
    assert rc == 1 and "files were modified by this hook" in out, out
    assert (repo / "a.py").read_text() == "x = orb.Array(a)\n"
    assert (repo / "b.py").read_text() == "y  =  f( 1 )\n" and (repo / "c.txt").read_text() == "torch.Tensor(a)\n"
    git(repo, "add", ".")
    rc, out = try_repo("orb-postprocess-check")
    assert rc == 0, out


def test_module_needs_no_glibc_newer_than_2_17():
    # What keeps the wheels installable on older systems (manylinux2014):
    # every versioned C library symbol that the module links is from 2.17 or
    # before. objdump prints each as "(GLIBC_2.2.5)" or "GLIBC_2.2.5".
    import re

    objdump = shutil.which("objdump")
    if not objdump or not sys.platform.startswith("linux"):
        pytest.skip("needs objdump on Linux")
    out = subprocess.run([objdump, "-T", ZOK.__file__], capture_output=True, text=True, check=True).stdout
    versions = {tuple(map(int, v.split("."))): line.split()[-1]
                for line in out.splitlines() for v in re.findall(r"\bGLIBC_(\d+(?:\.\d+)+)\b", line)}
    assert versions and max(versions) <= (2, 17), sorted(versions.items())


def test_tested_versions_agree():
    # What the package claims (classifiers), what is run (scripts/test-all), the
    # newest version a build accepts without a warning (CMakeLists.txt and the
    # build backend's message) must name the same versions.
    if not (ROOT / "scripts" / "test-all").exists():
        pytest.skip("needs the project sources")
    try:
        import tomllib
    except ImportError:
        import tomli as tomllib
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    prefix = "Programming Language :: Python :: 3."
    claimed = sorted(int(c[len(prefix):]) for c in project["project"]["classifiers"]
                     if c.startswith(prefix) and c[len(prefix):].isdigit())
    run = (ROOT / "scripts" / "test-all").read_text().split("${ZOK_PYTHONS:-", 1)[1].split("}", 1)[0].split()
    assert sorted(int(v.split(".")[1]) for v in run if v[-1].isdigit()) == claimed
    assert claimed == list(range(claimed[0], claimed[-1] + 1))
    assert project["project"]["requires-python"] == ">=3.%d" % claimed[0]
    newest = "3.%d" % claimed[-1]
    assert "set(ZOK_NEWEST_TESTED_PYTHON %s)" % newest in (ROOT / "CMakeLists.txt").read_text()
    (override,) = project["tool"]["scikit-build"]["overrides"]
    assert override["if"] == {"python-version": ">=3.%d" % (claimed[-1] + 1)}
    assert "newer than %s," % newest in override["messages"]["after-success"]


@pytest.mark.parametrize("version, warns", [("3.8", False), ("3.15", False), ("3.16", True), ("4.0", True)])
def test_build_for_an_untested_python_warns(version, warns):
    result = subprocess.run([cmake(), "-DVERSION=" + version, "-DNEWEST=3.15", "-P", "cmake/tested_python.cmake"],
                            cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0
    assert ("CMake Warning" in result.stderr and "built for CPython %s, newer than 3.15" % version
            in " ".join(result.stderr.split())) == warns, result.stderr

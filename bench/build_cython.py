"""Compiles bench/model.py with Cython into an extension module `model_cy`,
with the interpreter's own compiler flags and -O2."""
import os
import shutil
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    try:
        from Cython.Build import cythonize
    except ImportError:
        print("Cython is not installed: the cython peer is skipped", file=sys.stderr)
        return 1
    from setuptools import Extension
    from setuptools.dist import Distribution

    build = os.path.join(HERE, "_build", "py%d%d" % sys.version_info[:2])
    os.makedirs(build, exist_ok=True)
    src = os.path.join(build, "model_cy.py")
    shutil.copyfile(os.path.join(HERE, "model.py"), src)
    ext = Extension("model_cy", [src], extra_compile_args=["-O2"])
    dist = Distribution({"ext_modules": cythonize([ext], language_level=3, quiet=True,
                                                  build_dir=build)})
    cmd = dist.get_command_obj("build_ext")
    cmd.build_lib = build
    cmd.build_temp = os.path.join(build, "tmp")
    cmd.ensure_finalized()
    cmd.run()
    print("built", cmd.get_outputs()[0], "with", sysconfig.get_config_var("CC"), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

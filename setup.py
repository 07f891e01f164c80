"""Builds libquelt with CMake and ships it inside the quelt package.

The metadata is in pyproject.toml. QUELT_CMAKE_ARGS adds arguments to the
CMake configure step (e.g. a toolchain file).
"""

import os
import pathlib
import shlex
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # only needed for wheels
    bdist_wheel = None

ROOT = pathlib.Path(__file__).resolve().parent


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        build = ROOT / "build" / "python-package"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release", "-DQUELT_BUILD_TESTS=OFF",
            "-DQUELT_BUILD_TOOLS=OFF", "-DQUELT_BUILD_EXAMPLES=OFF",
        ] + shlex.split(os.environ.get("QUELT_CMAKE_ARGS", ""))
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "quelt", "-j2"], check=True)
        target = pathlib.Path(self.build_lib) / "quelt"
        target.mkdir(parents=True, exist_ok=True)
        for old in list(target.glob("libquelt.so*")) + list(target.glob("quelt.dll")):
            old.unlink()
        dll = list(build.rglob("quelt.dll"))
        if dll:
            shutil.copy2(dll[0], target / "quelt.dll")
        else:
            # The real file under the name the loader asks for first.
            library = (build / "src" / "libquelt.so").resolve()
            shutil.copy2(library, target / "libquelt.so.0")


class BinaryDistribution(Distribution):
    def has_ext_modules(self):
        return True


commands = {"build_py": BuildWithLibrary}
if bdist_wheel is not None:

    class PlatformWheel(bdist_wheel):
        """Any Python 3 (the binding is ctypes), but only this platform."""

        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            _, _, platform = super().get_tag()
            return "py3", "none", platform

    commands["bdist_wheel"] = PlatformWheel

setup(cmdclass=commands, distclass=BinaryDistribution)

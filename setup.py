"""Builds the extension module with the project's CMake build, for the running
interpreter, and puts it into the velmora package; pyproject.toml has the rest."""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.run(
            ["cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
             f"-DVELMORA_PYTHONS={sys.executable}", "-DVELMORA_BUILD_TESTS=OFF",
             "-DVELMORA_BUILD_BENCH=OFF", "-DVELMORA_BUILD_EXAMPLES=OFF"],
            check=True)
        with open(os.path.join(build, "python-tags.txt")) as f:
            line = f.readline().split()
        if not line:
            sys.exit(f"CMake did not configure the module for {sys.executable}; "
                     f"see the messages above")
        tag = line[0]
        jobs = ["-j", str(os.cpu_count() or 1)]
        if "CMAKE_BUILD_PARALLEL_LEVEL" in os.environ:
            jobs = []  # cmake --build takes it from there
        subprocess.run(["cmake", "--build", build, "--target", f"velmora_core_{tag}", *jobs],
                       check=True)
        built = os.path.join(build, "py", tag, *ext.name.split(".")[:-1],
                             os.path.basename(self.get_ext_filename(ext.name)))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[Extension("velmora.core.velmora_core", sources=[])],
      cmdclass={"build_ext": CMakeBuild})

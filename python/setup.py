"""Builds the kest package together with the C library it binds.

The library is built from the repository's sources with CMake (only its
`kest` target, without the tests and benchmarks) and copied into the
package as kest/libkest.so, so that `import kest` loads that copy and never
a libkest.so installed elsewhere on the system.  KEST_SOURCE_DIR names
another checkout of the sources; by default it is the folder above this
one.  KEST_LIBRARY names a libkest.so already built from the same sources
(the test script passes the one the repository's build just made), which is
then copied instead of building another.
"""
import os
import shutil
import subprocess
import tempfile

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))


def build_library(target_dir):
    prebuilt = os.environ.get("KEST_LIBRARY")
    if prebuilt:
        os.makedirs(target_dir, exist_ok=True)
        shutil.copyfile(os.path.realpath(prebuilt), os.path.join(target_dir, "libkest.so"))
        return
    source = os.environ.get("KEST_SOURCE_DIR", os.path.dirname(HERE))
    if not os.path.isfile(os.path.join(source, "kest", "include", "kest.h")):
        raise RuntimeError(f"no kest sources in {source}; set KEST_SOURCE_DIR to the repository")
    jobs = os.environ.get("KEST_BUILD_JOBS", "2")
    with tempfile.TemporaryDirectory(prefix="kest-build-") as build:
        subprocess.check_call(["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                               "-DKEST_BUILD_TESTS=OFF", "-DKEST_BUILD_BENCH=OFF"],
                              stdout=subprocess.DEVNULL)
        subprocess.check_call(["cmake", "--build", build, "-j", jobs, "--target", "kest"])
        built = None
        for root, _dirs, files in os.walk(build):
            if "libkest.so" in files:
                built = os.path.realpath(os.path.join(root, "libkest.so"))
                break
        if built is None:
            raise RuntimeError("the build made no libkest.so")
        os.makedirs(target_dir, exist_ok=True)
        shutil.copyfile(built, os.path.join(target_dir, "libkest.so"))


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        build_library(os.path.join(self.build_lib, "kest"))


class BinaryDistribution(Distribution):
    """The package carries a compiled library: its wheel is platform-specific."""

    def has_ext_modules(self):
        return True


setup(
    name="kest",
    distclass=BinaryDistribution,
    version="0.1.0",
    description="Statistical editing and imputation of survey data on pandas and Dask",
    packages=["kest"],
    python_requires=">=3.9",
    install_requires=["numpy", "pandas"],
    extras_require={"dask": ["dask", "distributed"]},
    cmdclass={"build_py": BuildWithLibrary},
    zip_safe=False,
)

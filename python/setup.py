"""The metadata is in pyproject.toml. This file only marks a wheel that
carries the library as bound to one platform (py3-none-<platform>): the
package itself is pure Python and works with any Python 3."""
import glob
import os
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
CARRIES_LIBRARY = any(glob.glob(os.path.join(HERE, "quenthaloy", pattern))
                      for pattern in ("libquenthaloy.so.0", "*.dll", "x86/*.dll", "x64/*.dll"))
# Installed straight from the source tree (pip install python/) after a
# build of the library there: the package carries that build's library, so
# that it finds it as the wheel's does, without any search path.
TREE_LIBRARY = os.path.join(HERE, os.pardir, "build", "native", "bin", "libquenthaloy.so.0")
if not CARRIES_LIBRARY and os.name == "posix" and os.path.exists(TREE_LIBRARY):
    CARRIES_LIBRARY = True
else:
    TREE_LIBRARY = None


class BuildWithTreeLibrary(build_py):
    def run(self):
        super().run()
        if TREE_LIBRARY is not None:
            shutil.copyfile(os.path.realpath(TREE_LIBRARY),
                            os.path.join(self.build_lib, "quenthaloy", "libquenthaloy.so.0"))


commands = {"build_py": BuildWithTreeLibrary}
distribution = Distribution
try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel package: nothing to tag
    bdist_wheel = None

if bdist_wheel is not None and CARRIES_LIBRARY:
    class LibraryDistribution(Distribution):
        """Installed to the platform's directory, as code for one machine."""

        def has_ext_modules(self):
            return True

    class PlatformWheel(bdist_wheel):
        def get_tag(self):
            # Any Python 3 and any ABI: the library is loaded through ctypes.
            return "py3", "none", super().get_tag()[2]

    distribution = LibraryDistribution
    commands["bdist_wheel"] = PlatformWheel

setup(cmdclass=commands, distclass=distribution)

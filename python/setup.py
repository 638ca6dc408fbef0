"""The metadata is in pyproject.toml. This file only marks a wheel that
carries the library as bound to the platform of the machine code it carries
(py3-none-<platform>): the package itself is pure Python and works with any
Python 3. The platform is read from the carried files themselves, so that a
wheel's tag cannot name another machine than its library's."""
import glob
import os
import shutil
import struct

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, "quenthaloy")
CARRIED_PATTERNS = ("libquenthaloy.so.*", "*.dll", "x86/*.dll", "x64/*.dll")

# ELF e_machine and PE machine numbers, and the wheel platform of each.
ELF_PLATFORMS = {3: "linux_i686", 62: "linux_x86_64", 183: "linux_aarch64"}
PE_PLATFORMS = {0x014C: "win32", 0x8664: "win_amd64", 0xAA64: "win_arm64"}


def platform_of(path):
    """The wheel platform of one ELF or PE file, or ValueError."""
    with open(path, "rb") as binary:
        header = binary.read(4096)
    if header[:4] == b"\x7fELF":
        order = "<" if header[5] == 1 else ">"
        machine = struct.unpack_from(order + "H", header, 18)[0]
        if machine in ELF_PLATFORMS:
            return ELF_PLATFORMS[machine]
    elif header[:2] == b"MZ" and len(header) >= 0x40:
        pe = struct.unpack_from("<I", header, 0x3C)[0]
        if header[pe:pe + 4] == b"PE\0\0":
            machine = struct.unpack_from("<H", header, pe + 4)[0]
            if machine in PE_PLATFORMS:
                return PE_PLATFORMS[machine]
    raise ValueError("%s is no library of a machine a wheel can name" % path)


def carried_platform(files):
    """The one platform of all the carried files, or None if none is carried."""
    platforms = {platform_of(path) for path in files}
    if len(platforms) > 1:
        raise ValueError("the package carries libraries of several machines: %s" % ", ".join(sorted(platforms)))
    return platforms.pop() if platforms else None


CARRIED = [path for pattern in CARRIED_PATTERNS for path in glob.glob(os.path.join(PACKAGE, pattern))]
# Installed straight from the source tree (pip install python/) after a
# build of the library there: the package carries that build's library, so
# that it finds it as the wheel's does, without any search path.
TREE_LIBRARY = os.path.join(HERE, os.pardir, "build", "native", "bin", "libquenthaloy.so")
if not CARRIED and os.name == "posix" and os.path.exists(TREE_LIBRARY):
    CARRIED = [os.path.realpath(TREE_LIBRARY)]
else:
    TREE_LIBRARY = None
PLATFORM = carried_platform(CARRIED)


def linux_library_name():
    """The file name the package loads beside itself on Linux (its _LINUX_LIBRARY)."""
    with open(os.path.join(PACKAGE, "__init__.py")) as module:
        for line in module:
            if line.startswith("_LINUX_LIBRARY = "):
                return line.split("=", 1)[1].strip().strip('"')
    raise ValueError("quenthaloy/__init__.py names no _LINUX_LIBRARY")


class BuildWithTreeLibrary(build_py):
    def run(self):
        super().run()
        if TREE_LIBRARY is not None:
            shutil.copyfile(CARRIED[0], os.path.join(self.build_lib, "quenthaloy", linux_library_name()))


commands = {"build_py": BuildWithTreeLibrary}
distribution = Distribution
try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel package: nothing to tag
    bdist_wheel = None

if bdist_wheel is not None and PLATFORM is not None:
    class LibraryDistribution(Distribution):
        """Installed to the platform's directory, as code for one machine."""

        def has_ext_modules(self):
            return True

    class PlatformWheel(bdist_wheel):
        def get_tag(self):
            # Any Python 3 and any ABI: the library is loaded through ctypes.
            return "py3", "none", PLATFORM

    distribution = LibraryDistribution
    commands["bdist_wheel"] = PlatformWheel

setup(cmdclass=commands, distclass=distribution)

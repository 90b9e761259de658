"""The korlib wheel's one platform detail: it carries a native library (loaded with ctypes),
so it is platform content, installed as such, and its tag names the platform
(py3-none-linux_x86_64, say) rather than "any"; any Python 3 can load it."""

from setuptools import setup
from setuptools.dist import Distribution

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1: the wheel package has it
    from wheel.bdist_wheel import bdist_wheel


class BinaryDistribution(Distribution):
    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        _, _, platform = super().get_tag()
        return "py3", "none", platform


setup(distclass=BinaryDistribution, cmdclass={"bdist_wheel": PlatformWheel})

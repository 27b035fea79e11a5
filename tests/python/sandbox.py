"""A private installation of the built library for the Python tests: a
fresh temporary folder holding lib/ (the library and its TESSARON.INI),
cache/, log/ and data/ (where the tests put the files they register).

The build hands over its files in the environment: STOW_TEST_LIBRARY (the
built library), STOW_TEST_PROGRAM (the stowmaster program) and
STOW_TEST_LAYOUT (the program printing the C structs' layout); the module
is imported from python/ of the source tree (PYTHONPATH).
"""

import os
import shutil
import subprocess
import tempfile

LIBRARY_NAME = "libstowmaster.so.1"


def built(name):
    path = os.environ.get(name)
    if not path:
        raise RuntimeError("%s is not set: run the test through ctest" % name)
    return path


class Sandbox:
    def __init__(self):
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="stow-python."))
        self.lib_dir = os.path.join(self.root, "lib")
        self.cache_dir = os.path.join(self.root, "cache")
        self.log_dir = os.path.join(self.root, "log")
        self.data_dir = os.path.join(self.root, "data")
        for d in (self.lib_dir, self.log_dir, self.data_dir):
            os.makedirs(d)
        self.library = os.path.join(self.lib_dir, LIBRARY_NAME)
        shutil.copyfile(built("STOW_TEST_LIBRARY"), self.library)
        # A 50 MiB cache with 10 % precision (high mark 55 MiB, low mark
        # 45 MiB) and a 5-minute minimum age.
        self.write_settings(cache_size=50, precision=10, delay_minutes=5)

    def write_settings(self, cache_size, precision, delay_minutes):
        with open(os.path.join(self.lib_dir, "TESSARON.INI"), "w") as f:
            f.write("[Cache]\nCacheDir=%s\nCacheSize=%d\nPrecision=%d\nDelay=%d\n"
                    "FileFolders=%s\n[Log]\nLogPath=%s\n"
                    % (self.cache_dir, cache_size, precision, delay_minutes, self.data_dir,
                       self.log_dir))

    def data(self, name, size=0):
        """A file of `size` bytes in data/; its path."""
        path = os.path.join(self.data_dir, name)
        with open(path, "wb") as f:
            f.write(b"x" * size)
        return path

    def run_program(self, *args):
        """Runs the stowmaster program on this library: (exit code, stdout, stderr)."""
        done = subprocess.run([built("STOW_TEST_PROGRAM"), "--library", self.library] +
                              list(args), capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout, done.stderr

    def logs(self):
        text = ""
        for name in sorted(os.listdir(self.log_dir)):
            with open(os.path.join(self.log_dir, name), errors="replace") as f:
                text += f.read()
        return text

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)

"""The Python module against the built library, in a sandbox of its own."""

import ctypes
import datetime
import os
import shutil
import struct
import subprocess
import sys
import textwrap
import unittest

import stowmaster
from sandbox import LIBRARY_NAME, Sandbox, built

MODULE_SOURCE = stowmaster.__file__

# The ctypes struct of each C struct.
STRUCTS = {
    "StowmasterSettings": stowmaster._Settings,
    "StowmasterStatus": stowmaster._Status,
    "StowmasterEntry": stowmaster._Entry,
    "StowmasterCheckReport": stowmaster._CheckReport,
    "StowmasterPassResult": stowmaster._PassResult,
    "StowmasterShrinkOptions": stowmaster._ShrinkOptions,
    "StowmasterFileProblem": stowmaster._FileProblem,
    "StowmasterFilesReport": stowmaster._FilesReport,
    "StowmasterAdoptResult": stowmaster._AdoptResult,
    "StowmasterDiskUsage": stowmaster._DiskUsage,
    "StowmasterSettingItem": stowmaster._SettingItem,
    "StowmasterCounters": stowmaster._Counters,
}


class StructLayoutTest(unittest.TestCase):
    def test_every_struct_and_field_lies_where_the_c_compiler_puts_it(self):
        layout = {}
        out = subprocess.run([built("STOW_TEST_LAYOUT")], capture_output=True, text=True,
                             check=True).stdout
        for line in out.splitlines():
            name, value = line.split()
            layout[name] = int(value)
        for name, cls in STRUCTS.items():
            with self.subTest(struct=name):
                self.assertEqual(ctypes.sizeof(cls), layout[name])
                c_fields = sorted(k.split(".", 1)[1] for k in layout if k.startswith(name + "."))
                self.assertEqual(sorted(f[0] for f in cls._fields_), c_fields)
                for field in c_fields:
                    self.assertEqual(getattr(cls, field).offset, layout[name + "." + field],
                                     field)

    def test_every_public_class_and_function_says_what_it_does(self):
        import inspect
        undocumented = []
        for name, member in vars(stowmaster).items():
            if name.startswith("_") or getattr(member, "__module__", None) != "stowmaster":
                continue
            if not (inspect.isclass(member) or inspect.isfunction(member)):
                continue
            # A class's own text: not one inherited, nor the signature a
            # dataclass is given when it has none.
            doc = vars(member).get("__doc__") if inspect.isclass(member) else member.__doc__
            if not doc or doc.startswith(name + "("):
                undocumented.append(name)
            if inspect.isclass(member):
                for attr, value in vars(member).items():
                    if (not attr.startswith("_") and inspect.isfunction(value)
                            and not inspect.getdoc(value)):
                        undocumented.append(name + "." + attr)
        self.assertEqual(undocumented, [])


class SandboxTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.lib = stowmaster.Library(self.box.library)

    def tearDown(self):
        if self._outcome.success if hasattr(self._outcome, "success") else True:
            self.box.remove()
        else:
            print("sandbox kept for inspection: " + self.box.root)


class LibraryLookupTest(unittest.TestCase):
    """Where the module finds the library when not told, run in a fresh
    interpreter per layout so that nothing is loaded beforehand."""

    def setUp(self):
        self.root = os.path.realpath(__import__("tempfile").mkdtemp(prefix="stow-lookup."))

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def place(self, module_dir, library=None):
        os.makedirs(module_dir, exist_ok=True)
        shutil.copyfile(MODULE_SOURCE, os.path.join(module_dir, "__init__.py"))
        if library:
            os.makedirs(os.path.dirname(library), exist_ok=True)
            shutil.copyfile(built("STOW_TEST_LIBRARY"), library)
            with open(os.path.join(os.path.dirname(library), "TESSARON.INI"), "w") as f:
                f.write("[Cache]\nCacheDir=%s\n[Log]\nLogPath=%s\n"
                        % (os.path.join(self.root, "cache"), self.root))

    def lookup(self, module_dir, env_library=None):
        env = {k: v for k, v in os.environ.items() if k != "STOWMASTER_LIBRARY"}
        env["PYTHONPATH"] = os.path.dirname(module_dir)
        if env_library:
            env["STOWMASTER_LIBRARY"] = env_library
        code = textwrap.dedent("""
            import stowmaster
            print(stowmaster._find_library())
            try:
                print(stowmaster.settings().settings_file)
            except stowmaster.Unusable as e:
                print("unusable:", e)
        """)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        return out.stdout.splitlines()

    def test_finds_the_library_as_the_program_does(self):
        multiarch = stowmaster.sysconfig.get_config_var("MULTIARCH") or "x86_64-linux-gnu"
        r = self.root
        beside = r + "/beside/stowmaster"
        prefix = r + "/prefix/lib/python3/dist-packages/stowmaster"
        arch = r + "/arch/lib/python3/dist-packages/stowmaster"
        nowhere = r + "/nowhere/lib/python3/dist-packages/stowmaster"
        env_lib = r + "/elsewhere/" + LIBRARY_NAME
        rows = [
            # module folder, library placed, STOWMASTER_LIBRARY, library found
            (beside, beside + "/" + LIBRARY_NAME, None, beside + "/" + LIBRARY_NAME),
            (prefix, r + "/prefix/lib/" + LIBRARY_NAME, None, r + "/prefix/lib/" + LIBRARY_NAME),
            (arch, r + "/arch/lib/%s/%s" % (multiarch, LIBRARY_NAME), None,
             r + "/arch/lib/%s/%s" % (multiarch, LIBRARY_NAME)),
            # The variable wins over a library beside the module.
            (r + "/env/stowmaster", r + "/env/stowmaster/" + LIBRARY_NAME, env_lib, env_lib),
            (nowhere, None, None, LIBRARY_NAME),
        ]
        self.place(os.path.dirname(env_lib) + "/unused", env_lib)
        for module_dir, library, env_library, expected in rows:
            with self.subTest(module=module_dir):
                self.place(module_dir, library)
                lines = self.lookup(module_dir, env_library)
                self.assertEqual(lines[0], expected)
                if expected != LIBRARY_NAME:
                    # The library loaded reads the settings beside itself.
                    self.assertEqual(lines[1],
                                     os.path.join(os.path.dirname(expected), "TESSARON.INI"))
        # An explicit path wins over everything.
        self.assertEqual(stowmaster.Library(env_lib).path, env_lib)


class RegisterAndReadTest(SandboxTest):
    def test_settings_status_entries_and_dump(self):
        lib, box = self.lib, self.box
        s = lib.settings()
        self.assertTrue(s.settings_found)
        self.assertEqual(s.settings_file, os.path.join(box.lib_dir, "TESSARON.INI"))
        self.assertEqual(s.cache_dir, box.cache_dir)
        self.assertEqual(s.limit_bytes, 50 << 20)
        self.assertEqual(s.min_age_seconds, 300)
        self.assertEqual(s.precision, 10)

        st = lib.status()
        self.assertFalse(st.index_present)
        # The limit and marks come with the figures.
        self.assertEqual((st.limit_bytes, st.high_mark_bytes, st.low_mark_bytes),
                         (50 << 20, 55 << 20, 45 << 20))
        self.assertEqual(list(lib.entries()), [])
        with self.assertRaises(stowmaster.Unusable) as caught:
            lib.dump()
        self.assertEqual(caught.exception.code, stowmaster.UNUSABLE)
        self.assertIn("no index file at " + os.path.join(box.cache_dir, "Index.Dat"),
                      str(caught.exception))

        before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        first = box.data("first.bin", 1000)
        second = box.data("second \u00e9.bin", 3000)
        lib.add(first, delay=60)
        # bytes and os.PathLike paths too; a non-ASCII name as the file
        # system spells it.
        lib.add(os.fsencode(second))
        third = box.data("third.bin", 500)
        with stowmaster.Session(lib) as session:
            session.add(__import__("pathlib").Path(third), datetime.timedelta(seconds=7))

        st = lib.status()
        self.assertTrue(st.index_present and st.index_formatted and st.lists_consistent)
        self.assertEqual((st.entries, st.bytes_in_use), (3, 4500))
        self.assertEqual(st.capacity, 100000)
        self.assertGreaterEqual(st.oldest_registration, before)
        self.assertGreaterEqual(st.newest_registration, st.oldest_registration)
        self.assertEqual(st.evictable_files, 0)  # all younger than five minutes
        self.assertEqual(st.next_path, "")

        listed = list(lib.entries())
        self.assertEqual([e.path for e in listed], [third, second, first])
        self.assertEqual([e.file_size for e in listed], [500, 3000, 1000])
        self.assertEqual([e.delay for e in listed], [7, 0, 60])
        self.assertEqual({e.evictable for e in listed}, {False})
        self.assertEqual(len({e.block for e in listed}), 3)
        self.assertTrue(all(isinstance(e.registered, datetime.datetime) for e in listed))
        self.assertEqual([e.path for e in lib.entries(limit=2)], [third, second])

        text = lib.dump()
        for path in (first, second, third):
            self.assertIn(path, text)
        target = os.path.join(box.root, "dump.txt")
        self.assertIsNone(lib.dump(target))
        with open(target, encoding="utf-8", errors="surrogateescape") as f:
            self.assertEqual(f.read(), text)

    def test_settings_report_and_the_settings_file_named(self):
        lib, box = self.lib, self.box
        ini = os.path.join(box.lib_dir, "TESSARON.INI")
        report = lib.settings_report()
        self.assertEqual(report.problems, [])
        by_key = {s.key: s for s in report.settings}
        self.assertEqual(by_key["CacheSize"], stowmaster.Setting("Cache", "CacheSize", "50", "MiB",
                                                                 ini, 3))
        self.assertEqual((by_key["EchoToStdout"].value, by_key["EchoToStdout"].line), ("0", 0))

        # Another file, named before the first initialisation, with the
        # three usual mistakes.
        other = os.path.join(box.root, "other.ini")
        with open(other, "w") as f:
            f.write("[Cache]\nCacheDir=%s\nCacheSzie=500\nCacheSize=10\nDelay=2 ; minutes\n"
                    % os.path.join(box.root, "other-cache"))
        lib.use_settings_file(other)
        self.assertEqual(lib.settings().settings_file, other)
        report = lib.settings_report()
        self.assertEqual([(p.kind, p.key, p.value, p.line) for p in report.problems],
                         [("unknown_key", "CacheSzie", "500", 3),
                          ("out_of_range", "CacheSize", "10", 4),
                          ("not_a_number", "Delay", "2 ; minutes", 5)])
        self.assertTrue(all(p.file == other and p.text.startswith(other) for p in report.problems))
        self.assertEqual(lib.status().limit_bytes, 200 << 20)
        with stowmaster.Session(lib):
            with self.assertRaises(stowmaster.Unusable) as caught:
                lib.use_settings_file(ini)
            self.assertIn("initialised", str(caught.exception))
        with self.assertRaises(stowmaster.Unusable):
            lib.use_settings_file(os.path.join(box.root, "missing.ini"))

    def test_failures_raise_with_code_and_reason(self):
        lib, box = self.lib, self.box
        missing = os.path.join(box.data_dir, "missing.bin")
        with self.assertRaises(stowmaster.NotRegistered) as caught:
            lib.add(missing)
        self.assertIn(missing, str(caught.exception))
        with self.assertRaises(stowmaster.BadArgument):
            lib.add(box.data("ok.bin", 10), delay=-1)
        with self.assertRaises(stowmaster.Unusable) as caught:
            stowmaster.Library(os.path.join(box.root, "no-such-library.so"))
        self.assertIn("no-such-library.so", str(caught.exception))

        # A walk that stops early: what came is yielded, then the error.
        entry = stowmaster._sized(stowmaster._Entry)
        entry.path = b"/a/file"
        entry.file_size = 5
        for code, error in ((stowmaster.CHANGED, stowmaster.Changed),
                            (stowmaster.DAMAGED, stowmaster.Damaged)):
            with self.subTest(code=code):
                def walk(limit, fn, context, code=code):
                    fn(ctypes.byref(entry), None)
                    fn(ctypes.byref(entry), None)
                    return code
                lib._bound["StowmasterListEntries"] = walk
                got = []
                with self.assertRaises(error) as caught:
                    for e in lib.entries():
                        got.append(e.path)
                self.assertEqual(got, ["/a/file", "/a/file"])
                self.assertEqual(caught.exception.code, code)


class OperationsTest(SandboxTest):
    def test_check_empty_and_progress(self):
        lib, box = self.lib, self.box
        report = lib.check()
        self.assertTrue(report.sound)
        self.assertFalse(report.index_present)

        files = [box.data("f%d.bin" % i, 100 * (i + 1)) for i in range(3)]
        for f in files:
            lib.add(f)
        report = lib.check(repair=True)
        self.assertTrue(report.sound and report.index_present and report.lists_consistent)
        self.assertEqual((report.valid_count, report.valid_bytes), (3, 600))
        self.assertEqual(report.problem, "")

        # A damaged index: the header's count of listed entries (after the
        # 512-byte mark and the 64-bit bytes in use) one more than its list.
        index = os.path.join(box.cache_dir, "Index.Dat")
        with open(index, "r+b") as f:
            f.seek(520)
            f.write(struct.pack("<i", 4))
        with self.assertRaises(stowmaster.Damaged) as caught:
            lib.check()
        self.assertFalse(caught.exception.result.sound)
        self.assertNotEqual(caught.exception.result.problem, "")
        with self.assertRaises(stowmaster.Damaged) as caught:
            lib.check(repair=True)
        self.assertTrue(caught.exception.result.repaired)
        self.assertTrue(lib.check().sound)

        # Enough files for emptying to work in two batches (of 100), with
        # progress told between them.
        with stowmaster.Session(lib) as session:
            for i in range(147):
                files.append(box.data("e%d.bin" % i, 4))
                session.add(files[-1])
        seen = []
        result = lib.empty(progress=seen.append)
        self.assertEqual((result.deleted_files, result.deleted_bytes), (150, 600 + 147 * 4))
        self.assertEqual((result.remaining_files, result.kept_files), (0, 0))
        self.assertEqual([(p.deleted_files, p.remaining_files) for p in seen], [(100, 50)])
        self.assertEqual([f for f in files if os.path.exists(f)], [])

        # An exception in a progress callback does not stop the library's
        # work (it has no way to) and comes back to the caller after it.
        with stowmaster.Session(lib) as session:
            for f in files[:101]:
                with open(f, "wb"):
                    pass
                session.add(f)

        def fail(_so_far):
            raise KeyError("from the callback")
        with self.assertRaises(KeyError):
            lib.empty(progress=fail)
        self.assertEqual(lib.status().entries, 0)

    def test_operator_additions(self):
        lib, box = self.lib, self.box
        listed = box.data("listed.bin", 2000)
        gone = box.data("gone.bin", 700)
        lib.add(listed)
        lib.add(gone)
        os.remove(gone)
        # Below the high mark an ordinary pass deletes nothing, dry or not.
        seen = []
        dry = lib.shrink(dry_run=True, progress=seen.append)
        self.assertEqual((dry.deleted_files, dry.entries), (0, []))
        self.assertEqual(dry.remaining_files, 2)
        # Less than the configured minimum age (five minutes).
        for older_than in (60, datetime.timedelta(minutes=4)):
            with self.assertRaises(stowmaster.BadArgument):
                lib.shrink(older_than=older_than)
        with self.assertRaises(stowmaster.BadArgument):
            lib.shrink(older_than=0)
        # Old enough to be asked for, but nothing is that old yet.
        self.assertEqual(lib.shrink(dry_run=True, older_than=3600).deleted_files, 0)

        with self.assertRaises(stowmaster.FilesDiffer) as caught:
            lib.check(files=True)
        files = caught.exception.result.files
        self.assertEqual((files.checked, files.missing), (2, 1))
        self.assertEqual([(p.path, p.problem, p.repaired) for p in files.problems],
                         [(gone, stowmaster.FILE_MISSING, False)])
        with self.assertRaises(stowmaster.FilesDiffer) as caught:
            lib.check(repair=True, files=True)
        self.assertEqual(caught.exception.result.files.repaired, 1)
        self.assertEqual(lib.check(files=True).files.checked, 1)

        # Counted: the two registrations and the entry the repair dropped;
        # the dry runs are no passes. Zeroed, with the time noted.
        counted = lib.counters()
        self.assertTrue(counted.available)
        self.assertEqual((counted.registrations_new, counted.registrations_refreshed,
                          counted.repair_dropped, counted.passes), (2, 0, 1, 0))
        self.assertIsNone(counted.last_reset)
        self.assertLessEqual(counted.counting_since, counted.now)
        lib.zero_counters()
        zeroed = lib.counters()
        self.assertEqual((zeroed.registrations_new, zeroed.repair_dropped), (0, 0))
        self.assertGreaterEqual(zeroed.last_reset, counted.counting_since)
        self.assertEqual(zeroed.counting_since, counted.counting_since)

        # Files below the cache folders that the index does not list.
        os.makedirs(box.cache_dir, exist_ok=True)
        stray = os.path.join(box.cache_dir, "sub")
        os.makedirs(stray)
        for name, size in (("a", 300), ("b", 400)):
            with open(os.path.join(stray, name), "wb") as f:
                f.write(b"y" * size)
        usage = lib.disk_usage()
        self.assertEqual((usage.unlisted_files, usage.unlisted_bytes), (2, 700))
        adopted = lib.adopt(stray, delay=30)
        self.assertEqual((adopted.found, adopted.adopted, adopted.adopted_bytes), (2, 2, 700))
        self.assertEqual(lib.disk_usage().unlisted_files, 0)
        self.assertEqual({e.delay for e in lib.entries() if e.path.startswith(stray)}, {30})
        with self.assertRaises(stowmaster.BadArgument):
            lib.adopt(box.root)  # not within the cache folders


# The range of each kind of C field.
I32 = (-2**31, 2**31 - 1)
U32 = (0, 2**32 - 1)
I64 = (-2**63, 2**63 - 1)


def _shrink_options(calls):
    return [args[0]._obj for name, args in calls if name == "StowmasterShrinkWith"]


def _arguments(calls, function, at):
    return [args[at] for name, args in calls if name == function]


# Every number and flag a public call hands to the library: the call with
# the value, its kind ("flag", or "int"/"seconds" with the least and most
# value the call takes, and any other value it takes with what the C call
# gets for it), what the C functions got, and the calls a refused value
# still lets happen (a session the caller opened itself).
PARAMETERS = [
    ("entries(limit)", lambda v: list(stowmaster.entries(limit=v)), ("int", 0, I32[1]),
     lambda c: _arguments(c, "StowmasterListEntries", 0), []),
    ("add(delay)", lambda v: stowmaster.add("/f", delay=v), ("seconds",) + U32,
     lambda c: _arguments(c, "AddFileToStowmasterA", 1), []),
    ("Session.add(delay)", lambda v: stowmaster.Session().add("/f", delay=v),
     ("seconds",) + U32, lambda c: _arguments(c, "AddFileToStowmasterA", 1),
     ["InitializeStowmaster", "UnInitializeStowmaster"]),
    ("Session(threaded)", lambda v: stowmaster.Session(threaded=v).close(), ("flag",),
     lambda c: _arguments(c, "InitializeStowmaster", 0), []),
    ("check(repair)", lambda v: stowmaster.check(repair=v, files=True), ("flag",),
     lambda c: _arguments(c, "StowmasterCheck", 0) + _arguments(c, "StowmasterCheckFiles", 0),
     []),
    ("check(files)", lambda v: stowmaster.check(files=v), ("flag",),
     lambda c: [len(_arguments(c, "StowmasterCheckFiles", 0))], []),
    ("shrink(dry_run)", lambda v: stowmaster.shrink(dry_run=v), ("flag",),
     lambda c: [o.dry_run for o in _shrink_options(c)], []),
    ("shrink(older_than)", lambda v: stowmaster.shrink(older_than=v),
     ("seconds", 1, I64[1], [(None, 0)]),
     lambda c: [o.older_than for o in _shrink_options(c)], []),
    ("adopt(delay)", lambda v: stowmaster.adopt("/d", delay=v), ("seconds",) + U32,
     lambda c: _arguments(c, "StowmasterAdopt", 1), []),
]


def _cases(kind):
    """(value, what the C call gets, or None when the value is refused)."""
    if kind[0] == "flag":
        accepted = [(True, 1), (False, 0), (1, 1), (0, 0)]
        refused = ["no", "", 2, -1, 1.0, None, [1]]
    else:
        least, most = kind[1], kind[2]
        accepted = [(least, least), (most, most)] + (kind[3] if len(kind) > 3 else [])
        # Past either end, and far past (2**64 more wraps back into range).
        refused = [least - 1, most + 1, most + 1 + 2**64, "1", True, None]
        if kind[0] == "seconds":
            accepted += [(datetime.timedelta(seconds=least), least), (least + 0.75, least)]
            refused += [least - 0.5, float(most + 1), float("nan"), float("inf"),
                        datetime.timedelta(seconds=least - 1)]
        else:
            refused += [1.5]
    refused = [v for v in refused if not any(v is a for a, _ in accepted)]
    return accepted + [(value, None) for value in refused]


class ArgumentCheckTest(unittest.TestCase):
    """Arguments are checked before the library is called. The library's
    functions are replaced by recorders: a refused value raises a
    ValueError and reaches no C call; an accepted one reaches it as
    given."""

    def setUp(self):
        self.lib = stowmaster.Library(built("STOW_TEST_LIBRARY"))
        self.calls = []
        for name in stowmaster._signatures():
            self.lib._bound[name] = self.recorder(name)
        self.saved = stowmaster._default_library
        stowmaster._default_library = self.lib

    def tearDown(self):
        stowmaster._default_library = self.saved

    def recorder(self, name):
        def call(*args):
            self.calls.append((name, args))
            # Initialised and registered; OK for the rest.
            return 1 if name in ("InitializeStowmaster", "AddFileToStowmasterA") else 0
        return call

    def test_every_number_and_flag_is_checked_against_its_c_field(self):
        for label, call, kind, got, allowed in PARAMETERS:
            for value, expected in _cases(kind):
                with self.subTest(call=label, value=value):
                    self.calls = []
                    if expected is None:
                        with self.assertRaises((ValueError, OverflowError)):
                            call(value)
                        self.assertEqual([name for name, _ in self.calls], allowed)
                    else:
                        call(value)
                        self.assertTrue(got(self.calls))
                        self.assertEqual(set(got(self.calls)), {expected})

    def test_a_library_path_that_is_not_a_regular_file_is_refused_before_loading(self):
        folder = os.path.realpath(__import__("tempfile").mkdtemp(prefix="stow-fifo."))
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        fifo = os.path.join(folder, LIBRARY_NAME)
        os.mkfifo(fifo)
        code = textwrap.dedent("""
            import sys, stowmaster
            try:
                stowmaster.load(sys.argv[1])
            except ValueError as e:
                print(isinstance(e, stowmaster.Unusable), e)
        """)
        for path in (fifo, folder):
            with self.subTest(path=path):
                try:
                    out = subprocess.run([sys.executable, "-c", code, path], capture_output=True,
                                         text=True, timeout=20)
                except subprocess.TimeoutExpired:
                    self.fail("loading %s does not end" % path)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stdout,
                                 "True cannot load the library %s: not a regular file\n" % path)


class CxxHeaderTest(SandboxTest):
    """The consumer of stowmaster.hpp, built with C++17 and C++20, on the
    sandbox's library: it registers a file and finds it in the status and
    the walk of the list."""

    def test_cxx_consumers(self):
        env = dict(os.environ, LD_LIBRARY_PATH=self.box.lib_dir)
        for program in built("STOW_TEST_CXX_CONSUMERS").split(":"):
            with self.subTest(program=os.path.basename(program)):
                target = os.path.join(self.box.data_dir, os.path.basename(program) + ".img")
                done = subprocess.run([program, target], env=env, capture_output=True,
                                      text=True, timeout=60)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertIn("consumer: ok", done.stdout)
                self.assertIn("New File To Cache: %s." % target, self.box.logs())
                self.assertIn(target, [e.path for e in self.lib.entries()])


if __name__ == "__main__":
    unittest.main()

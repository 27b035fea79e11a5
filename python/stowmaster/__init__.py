"""Stowmaster from Python: watch and operate a Stowmaster cache.

A pure ctypes binding of the library's C interface (stowmaster.h): no
compiled extension. The library is looked for as the stowmaster program
looks for it:

1. the path given to ``Library(path)`` or ``load(path)``, else the
   environment variable STOWMASTER_LIBRARY;
2. the library beside this module;
3. the library folder of the installation the module lies in (for a module
   in <prefix>/lib/python3/dist-packages/stowmaster: <prefix>/lib and
   <prefix>/lib/<multiarch>);
4. the bare name ("libstowmaster.so.1", "stowmaster.dll"), which the
   system's loader looks up on its own paths.

The cache worked on is the one named by the TESSARON.INI beside the loaded
library, as for every other user of it.

The module-level functions use one library, loaded at the first call
(``load()`` chooses it beforehand). Values come back as Python types:
flags as bool, counts and bytes as int, moments as timezone-aware
datetime in UTC (None where the library says 0, "never"), paths as str
(decoded as the file system names them; ``os.fsencode`` gives back the
bytes). Names follow the fields of the C structs.

Every call that fails raises ``Error`` (a subclass per code: Unusable,
BadArgument, Incomplete, Damaged, TooSmall, Changed, FilesDiffer) with
``.code`` (the STOWMASTER_* value), the library's reason as its text and,
where the call produced one, ``.result`` (what was done or seen).

Arguments are checked before the library is called: a number outside the
range of the C field it fills, or a flag that is not a bool (or the int 0
or 1), raises BadArgument (a ValueError) and nothing is done.
"""

import ctypes
import dataclasses
import datetime
import numbers
import os
import stat
import sys
import sysconfig
import threading
from typing import Callable, Iterator, List, Optional

__all__ = [
    "Error", "Unusable", "BadArgument", "Incomplete", "Damaged", "TooSmall", "Changed",
    "FilesDiffer", "NotRegistered", "Library", "Session", "Settings", "Status", "Entry",
    "CheckReport", "FilesReport", "FileProblem", "PassResult", "AdoptResult", "DiskUsage",
    "load", "settings", "status", "entries", "add", "check", "shrink", "empty", "dump",
    "adopt", "disk_usage", "version", "Setting", "SettingsProblem", "SettingsReport",
    "use_settings_file", "settings_report",
    "Counters", "counters", "zero_counters",
]

OK = 0
UNUSABLE = 1
BAD_ARGUMENT = 2
INCOMPLETE = 3
DAMAGED = 4
TOO_SMALL = 5
CHANGED = 6
FILES_DIFFER = 7

FILE_MISSING = 1
FILE_NOT_REGULAR = 2
FILE_SIZE_DIFFERS = 3

_WINDOWS = sys.platform == "win32"
LIBRARY_NAME = "stowmaster.dll" if _WINDOWS else "libstowmaster.so.1"

# ------------------------------------------------------------------ errors --


class Error(Exception):
    """A call of the library failed; ``code`` is its STOWMASTER_* code."""

    code: Optional[int] = None

    def __init__(self, message: str, code: Optional[int] = None, result=None):
        super().__init__(message)
        if code is not None:
            self.code = code
        self.result = result


class Unusable(Error):
    """The library, its settings, the cache folder or the index cannot be used."""
    code = UNUSABLE


class BadArgument(Error, ValueError):
    """An argument the library refuses."""
    code = BAD_ARGUMENT


class Incomplete(Error):
    """Done, but some entries could not be deleted or registered (see .result)."""
    code = INCOMPLETE


class Damaged(Error):
    """The index is damaged (see .result for what the check saw)."""
    code = DAMAGED


class TooSmall(Error):
    """A struct passed to the library is smaller than the library needs:
    the module and the library are of different releases."""
    code = TOO_SMALL


class Changed(Error):
    """Another process changed the list between two batches of a walk."""
    code = CHANGED


class FilesDiffer(Error):
    """The disk does not bear out every entry (see .result)."""
    code = FILES_DIFFER


class _NotALibraryFile(Unusable, ValueError):
    """The library path names a folder, FIFO, device or the like."""


class NotRegistered(Error):
    """A file could not be registered; the registration gives no code."""
    code = None


_ERRORS = {c.code: c for c in (Unusable, BadArgument, Incomplete, Damaged, TooSmall, Changed,
                                FilesDiffer)}

# ----------------------------------------------------------------- structs --
# As laid out in stowmaster.h; tests/python compares every size and offset
# with the C compiler's.

_i32 = ctypes.c_int32
_i64 = ctypes.c_int64
_u32 = ctypes.c_uint32
_u64 = ctypes.c_uint64


class _Settings(ctypes.Structure):
    _fields_ = [("size", _u32), ("settings_found", _i32), ("settings_file", ctypes.c_char * 1024),
                ("cache_dir", ctypes.c_char * 260), ("index_path", ctypes.c_char * 260),
                ("log_file", ctypes.c_char * 1024), ("log_writable", _i32), ("precision", _i32),
                ("limit_bytes", _i64), ("high_mark_bytes", _i64), ("low_mark_bytes", _i64),
                ("min_age_seconds", _i64)]


class _Status(ctypes.Structure):
    _fields_ = [("size", _u32), ("index_present", _i32), ("index_formatted", _i32),
                ("lists_consistent", _i32), ("entries", _i32), ("capacity", _i32),
                ("bytes_in_use", _i64), ("oldest_registration", _i64),
                ("newest_registration", _i64), ("evictable_files", _i32), ("reserved", _i32),
                ("evictable_bytes", _i64), ("now", _i64), ("next_path", ctypes.c_char * 260),
                ("reserved2", _i32), ("next_registered", _i64), ("refused_files", _i32),
                ("reserved3", _i32), ("refused_bytes", _i64), ("limit_bytes", _i64),
                ("high_mark_bytes", _i64), ("low_mark_bytes", _i64),
                ("reconciliation_pending", _i32), ("reserved4", _i32)]


class _SettingItem(ctypes.Structure):
    _fields_ = [("size", _u32), ("kind", _i32), ("section", ctypes.c_char * 32),
                ("key", ctypes.c_char * 64), ("value", ctypes.c_char * 1024),
                ("unit", ctypes.c_char * 16), ("file", ctypes.c_char * 1024), ("line", _i32),
                ("reserved", _i32), ("text", ctypes.c_char * 1024)]


class _Entry(ctypes.Structure):
    _fields_ = [("size", _u32), ("block", _i32), ("path", ctypes.c_char * 260),
                ("file_size", _i64), ("registered", _i64), ("delay", _i64), ("evictable", _i32),
                ("reserved", _i32)]


class _CheckReport(ctypes.Structure):
    _fields_ = [("size", _u32), ("index_present", _i32), ("index_formatted", _i32),
                ("lists_consistent", _i32), ("interrupted", _i32), ("repaired", _i32),
                ("valid_count", _i32), ("free_count", _i32), ("valid_bytes", _i64),
                ("header_bytes", _i64), ("header_count", _i32), ("reserved", _i32),
                ("problem", ctypes.c_char * 512)]


class _PassResult(ctypes.Structure):
    _fields_ = [("size", _u32), ("deleted_files", _i32), ("deleted_bytes", _i64),
                ("kept_files", _i32), ("remaining_files", _i32), ("kept_bytes", _i64),
                ("remaining_bytes", _i64)]


if _WINDOWS:
    _CALLBACK = ctypes.WINFUNCTYPE  # STOWMASTER_CALL is __stdcall there
else:
    _CALLBACK = ctypes.CFUNCTYPE

_EntryFn = _CALLBACK(_i32, ctypes.POINTER(_Entry), ctypes.c_void_p)
_ProgressFn = _CALLBACK(None, ctypes.POINTER(_PassResult), ctypes.c_void_p)
_SettingFn = _CALLBACK(_i32, ctypes.POINTER(_SettingItem), ctypes.c_void_p)

# The kinds of StowmasterSettingItem: 0 a setting, else a problem.
_PROBLEM_KINDS = {1: "unknown_key", 2: "out_of_range", 3: "not_a_number", 4: "unreadable",
                  5: "variable_ignored", 6: "untrusted"}


class _ShrinkOptions(ctypes.Structure):
    _fields_ = [("size", _u32), ("dry_run", _i32), ("older_than", _i64), ("each", _EntryFn),
                ("each_context", ctypes.c_void_p)]


class _FileProblem(ctypes.Structure):
    _fields_ = [("size", _u32), ("block", _i32), ("path", ctypes.c_char * 260),
                ("problem", _i32), ("repaired", _i32), ("listed_size", _i64),
                ("disk_size", _i64)]


_FileProblemFn = _CALLBACK(_i32, ctypes.POINTER(_FileProblem), ctypes.c_void_p)


class _FilesReport(ctypes.Structure):
    _fields_ = [("size", _u32), ("checked", _i32), ("missing", _i32), ("not_regular", _i32),
                ("size_differs", _i32), ("repaired", _i32), ("dropped_bytes", _i64),
                ("size_change", _i64)]


class _AdoptResult(ctypes.Structure):
    _fields_ = [("size", _u32), ("found", _i32), ("listed", _i32), ("adopted", _i32),
                ("failed", _i32), ("reserved", _i32), ("adopted_bytes", _i64)]


_AdoptProgressFn = _CALLBACK(None, ctypes.POINTER(_AdoptResult), ctypes.c_void_p)


class _DiskUsage(ctypes.Structure):
    _fields_ = [("size", _u32), ("folders", _i32), ("files", _i64), ("bytes", _i64),
                ("unlisted_files", _i64), ("unlisted_bytes", _i64)]


class _Counters(ctypes.Structure):
    _fields_ = [("size", _u32), ("available", _i32), ("registrations_new", _u64),
                ("registrations_refreshed", _u64), ("registrations_refused", _u64),
                ("full_index_refusals", _u64), ("passes", _u64), ("pass_deleted_files", _u64),
                ("pass_deleted_bytes", _u64), ("emptied_files", _u64), ("emptied_bytes", _u64),
                ("deletions_refused", _u64), ("repair_dropped", _u64),
                ("counting_since", _i64), ("last_reset", _i64), ("now", _i64)]


def _sized(struct_type):
    value = struct_type()
    value.size = ctypes.sizeof(struct_type)
    return value


# ------------------------------------------------------------ arguments --
# Every number and flag handed to the library passes one of these. ctypes
# stores an int modulo its field's width (2**64 + 3600 seconds would become
# 3,600) and takes any object as a truth value ("no" is true), so whatever
# the C field cannot hold as meant is refused here, before any call.


def _c_range(ctype):
    bits = 8 * ctypes.sizeof(ctype)
    if ctype(-1).value < 0:
        return -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    return 0, (1 << bits) - 1


def _number(name: str, value, ctype, low: Optional[int] = None, seconds: bool = False) -> int:
    """`value` as an int for a C field of type `ctype`, at least `low`
    (default: the field's least). With `seconds`, a datetime.timedelta or a
    float counts too (a fraction is dropped once the range is checked).
    Raises BadArgument otherwise."""
    if seconds and isinstance(value, datetime.timedelta):
        value = value.total_seconds()
    kinds = numbers.Real if seconds else numbers.Integral
    if isinstance(value, bool) or not isinstance(value, kinds):
        raise BadArgument("%s must be %s, not %r" % (
            name, "a number of seconds" if seconds else "an int", value))
    least, most = _c_range(ctype)
    if low is not None:
        least = max(least, low)
    if not least <= value <= most:  # NaN fails both
        raise BadArgument("%s out of range: %r (%d to %d)" % (name, value, least, most))
    return int(value)


def _delay(delay) -> int:
    """A file's own minimum age, seconds (uint32_t)."""
    return _number("delay", delay, _u32, seconds=True)


def _flag(name: str, value) -> int:
    """A flag as the C int: True, False, 1 or 0; anything else raises
    BadArgument."""
    if isinstance(value, bool) or (isinstance(value, numbers.Integral) and value in (0, 1)):
        return int(value)
    raise BadArgument("%s must be True or False, not %r" % (name, value))


# --------------------------------------------------------- Python values --


def _moment(seconds: int) -> Optional[datetime.datetime]:
    if seconds == 0:
        return None
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)


def _text(raw: bytes) -> str:
    """A path or message of the library as str."""
    if _WINDOWS:
        return raw.decode("mbcs", "replace")  # the narrow calls speak the ANSI code page
    return os.fsdecode(raw)


def _path_bytes(path) -> bytes:
    """A path for the library's narrow calls: str, bytes or os.PathLike."""
    path = os.fspath(path)
    if isinstance(path, bytes):
        raw = path
    elif _WINDOWS:
        raw = path.encode("mbcs", "strict")
    else:
        raw = os.fsencode(path)
    if b"\0" in raw:
        raise BadArgument("a path holds a NUL byte: %r" % (path,))
    return raw


def _convert(struct, cls, moments=(), flags=(), texts=(), skip=("size",)):
    """A dataclass `cls` from a ctypes struct: fields of the same names."""
    values = {}
    for field in dataclasses.fields(cls):
        if not hasattr(struct, field.name) or field.name in skip:
            continue
        value = getattr(struct, field.name)
        if field.name in moments:
            value = _moment(value)
        elif field.name in flags:
            value = bool(value)
        elif field.name in texts:
            value = _text(value)
        values[field.name] = value
    return cls(**values)


@dataclasses.dataclass
class Settings:
    """The settings in effect and where they came from."""
    settings_found: bool
    settings_file: str
    cache_dir: str
    index_path: str
    log_file: str
    log_writable: bool
    precision: int
    limit_bytes: int
    high_mark_bytes: int
    low_mark_bytes: int
    min_age_seconds: int


@dataclasses.dataclass
class Status:
    """The index as it is now."""
    index_present: bool
    index_formatted: bool
    lists_consistent: bool
    entries: int
    capacity: int
    bytes_in_use: int
    oldest_registration: Optional[datetime.datetime]
    newest_registration: Optional[datetime.datetime]
    evictable_files: int
    evictable_bytes: int
    now: Optional[datetime.datetime]
    next_path: str
    next_registered: Optional[datetime.datetime]
    refused_files: int
    refused_bytes: int
    limit_bytes: int = 0
    high_mark_bytes: int = 0
    low_mark_bytes: int = 0
    # True until the first pass after a restart made the index agree with
    # the disk (False from a library too old to tell).
    reconciliation_pending: bool = False


@dataclasses.dataclass
class Setting:
    """One setting the library reads: its value in effect (text, in the
    file's unit), that unit ("MiB", "%", "minutes" or ""), and the file
    and line it comes from (file "" and line 0: the default)."""
    section: str
    key: str
    value: str
    unit: str
    file: str
    line: int


@dataclasses.dataclass
class SettingsProblem:
    """One problem the library finds in its settings, as it logs it at
    its first initialisation. `kind` is "unknown_key", "out_of_range",
    "not_a_number", "unreadable", "variable_ignored" or "untrusted";
    `value` the text written (the variable's value for
    "variable_ignored"); `line` 0 for the file as a whole; `text` the
    problem in words."""
    kind: str
    section: str
    key: str
    value: str
    file: str
    line: int
    text: str


@dataclasses.dataclass
class SettingsReport:
    """Each setting with where it comes from, and each problem found."""
    settings: List[Setting]
    problems: List[SettingsProblem]


@dataclasses.dataclass
class Entry:
    """One listed file."""
    block: int
    path: str
    file_size: int
    registered: Optional[datetime.datetime]
    delay: int  # its own minimum age, seconds
    evictable: bool


@dataclasses.dataclass
class FileProblem:
    """A listed file the disk disagrees with (problem: FILE_MISSING, ...)."""
    block: int
    path: str
    problem: int
    repaired: bool
    listed_size: int
    disk_size: int


@dataclasses.dataclass
class FilesReport:
    """What a check of the files saw, with each disagreement."""
    checked: int
    missing: int
    not_regular: int
    size_differs: int
    repaired: int
    dropped_bytes: int
    size_change: int
    problems: List[FileProblem] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class CheckReport:
    """What a check of the index saw; `files` when the files were checked too."""
    index_present: bool
    index_formatted: bool
    lists_consistent: bool
    interrupted: bool
    repaired: bool
    valid_count: int
    free_count: int
    valid_bytes: int
    header_bytes: int
    header_count: int
    problem: str
    sound: bool = False  # the index check found nothing wrong
    files: Optional[FilesReport] = None


@dataclasses.dataclass
class PassResult:
    """What a pass or emptying did; `entries`: what a shrink deleted (dry run: would)."""
    deleted_files: int
    deleted_bytes: int
    kept_files: int
    remaining_files: int
    kept_bytes: int
    remaining_bytes: int
    entries: List[Entry] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class AdoptResult:
    """What adopt() did: the regular files found below the folder, those
    listed already, those registered now (and their bytes), and those whose
    registration failed."""
    found: int
    listed: int
    adopted: int
    failed: int
    adopted_bytes: int


@dataclasses.dataclass
class DiskUsage:
    """What the cache folders hold on disk: folders, regular files and
    their bytes, and how many of those files (and bytes) the index does not
    list."""
    folders: int
    files: int
    bytes: int
    unlisted_files: int
    unlisted_bytes: int


@dataclasses.dataclass
class Counters:
    """The cache's counters, cumulative since the index was made (or since
    they were zeroed; see zero_counters()). `available` is False when there
    is no index or lookup file yet (every count 0). `counting_since` is when
    counting started: the index was made, or a lookup file made afresh
    started them again; `last_reset` when they were last zeroed (None:
    never). Processes of an earlier release sharing the cache leave their
    work uncounted."""
    available: bool
    registrations_new: int
    registrations_refreshed: int
    registrations_refused: int  # a full index included
    full_index_refusals: int
    passes: int  # eviction passes that looked at the list
    pass_deleted_files: int
    pass_deleted_bytes: int
    emptied_files: int
    emptied_bytes: int
    deletions_refused: int
    repair_dropped: int
    counting_since: Optional[datetime.datetime]
    last_reset: Optional[datetime.datetime]
    now: Optional[datetime.datetime]


_ENTRY_KINDS = dict(moments=("registered",), flags=("evictable",), texts=("path",))


def _entry(e) -> Entry:
    return _convert(e, Entry, **_ENTRY_KINDS)


def _pass_result(r) -> PassResult:
    return _convert(r, PassResult)


# ------------------------------------------------------------- loading --


def _module_dir() -> str:
    return os.path.dirname(os.path.abspath(__file__))


def library_candidates() -> List[str]:
    """Where the library is looked for, in order, without the explicit path."""
    here = _module_dir()
    names = [LIBRARY_NAME] if _WINDOWS else [LIBRARY_NAME, "libstowmaster.so"]
    found = [os.path.join(here, n) for n in names]
    # <prefix>/lib[64]/python3[.N]/{dist,site}-packages/stowmaster: the
    # installation's library folder is <prefix>/lib[64] (and its multiarch
    # folder, as a Debian system has it).
    packages = os.path.dirname(here)
    pydir = os.path.dirname(packages)
    libdir = os.path.dirname(pydir)
    if (os.path.basename(packages) in ("dist-packages", "site-packages")
            and os.path.basename(pydir).startswith("python")):
        found.append(os.path.join(libdir, LIBRARY_NAME))
        multiarch = sysconfig.get_config_var("MULTIARCH") or getattr(
            sys.implementation, "_multiarch", None)
        if multiarch:
            found.append(os.path.join(libdir, multiarch, LIBRARY_NAME))
    return found


def _find_library(path=None) -> str:
    if path is not None:
        return os.fspath(path)
    env = os.environ.get("STOWMASTER_LIBRARY")
    if env:
        return env
    for candidate in library_candidates():
        if os.path.isfile(candidate):
            return candidate
    return LIBRARY_NAME


def _refuse_non_regular(path: str) -> None:
    """Raises Unusable (a ValueError too) when `path` names something other
    than a regular file: the loader would wait for ever on a FIFO for a
    writer. A bare name is the loader's own to look up; a missing file is
    left to the loader, which says so."""
    if os.sep not in path and not (os.altsep and os.altsep in path):
        return
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return
    if not stat.S_ISREG(mode):
        raise _NotALibraryFile("cannot load the library %s: not a regular file" % path)


def _signatures():
    p = ctypes.POINTER
    return {
        "StowmasterVersion": (ctypes.c_char_p, []),
        "InitializeStowmaster": (_i32, [_i32]),
        "UnInitializeStowmaster": (None, []),
        "AddFileToStowmasterA": (_i32, [ctypes.c_char_p, _u32]),
        "AddFileToStowmasterW": (_i32, [ctypes.c_wchar_p if _WINDOWS else ctypes.c_void_p, _u32]),
        "StowmasterGetSettings": (_i32, [p(_Settings)]),
        "StowmasterGetStatus": (_i32, [p(_Status)]),
        "StowmasterListEntries": (_i32, [_i32, _EntryFn, ctypes.c_void_p]),
        "StowmasterCheck": (_i32, [_i32, p(_CheckReport)]),
        "StowmasterEmpty": (_i32, [p(_PassResult), _ProgressFn, ctypes.c_void_p]),
        "StowmasterShrinkWith": (_i32, [p(_ShrinkOptions), p(_PassResult), _ProgressFn,
                                        ctypes.c_void_p]),
        "StowmasterCheckFiles": (_i32, [_i32, p(_FilesReport), _FileProblemFn, ctypes.c_void_p]),
        "StowmasterAdopt": (_i32, [ctypes.c_char_p, _u32, p(_AdoptResult), _AdoptProgressFn,
                                   ctypes.c_void_p]),
        "StowmasterGetDiskUsage": (_i32, [p(_DiskUsage)]),
        "StowmasterDump": (_i32, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint64,
                                  p(ctypes.c_uint64)]),
        "StowmasterLastError": (_u32, [ctypes.c_char_p, _u32]),
        "StowmasterUseSettingsFile": (_i32, [ctypes.c_char_p]),
        "StowmasterListSettings": (_i32, [_SettingFn, ctypes.c_void_p]),
        "StowmasterGetCounters": (_i32, [p(_Counters)]),
        "StowmasterZeroCounters": (_i32, []),
    }


class _Callback:
    """Runs Python code inside a callback of the library: an exception stops
    the walk (the callback answers 0) and is raised again after the call."""

    def __init__(self):
        self.exception = None

    def guard(self, fn, stop_value):
        def run(*args):
            if self.exception is not None:
                return stop_value
            try:
                return fn(*args)
            except BaseException as e:  # noqa: B902 - handed back to the caller
                self.exception = e
                return stop_value
        return run

    def reraise(self):
        if self.exception is not None:
            raise self.exception


class Library:
    """One loaded library file and its entry points."""

    def __init__(self, path=None):
        self.path = _find_library(path)
        _refuse_non_regular(self.path)
        try:
            if _WINDOWS:
                self._dll = ctypes.WinDLL(self.path)
            else:
                self._dll = ctypes.CDLL(self.path)
        except OSError as e:
            raise Unusable("cannot load the library %s: %s" % (self.path, e)) from e
        self._bound = {}

    def _fn(self, name):
        fn = self._bound.get(name)
        if fn is None:
            try:
                fn = getattr(self._dll, name)
            except AttributeError:
                raise Unusable("%s has no %s entry point (an older library?)"
                               % (self.path, name)) from None
            fn.restype, fn.argtypes = _signatures()[name]
            self._bound[name] = fn
        return fn

    def last_error(self) -> str:
        """The reason for the last failure of a call on this thread."""
        buffer = ctypes.create_string_buffer(4096)
        self._fn("StowmasterLastError")(buffer, len(buffer))
        return _text(buffer.value)

    def _raise(self, call: str, code: int, result=None):
        text = self.last_error() or "%s failed with code %d" % (call, code)
        raise _ERRORS.get(code, Error)(text, code, result)

    def version(self) -> str:
        """The library's version, e.g. "1.0.0"."""
        return self._fn("StowmasterVersion")().decode("ascii", "replace")

    def settings(self) -> Settings:
        """The settings in effect: the settings file read (if any), the
        cache folder, the index path, the log file, the limit with its high
        and low marks, and the minimum age."""
        s = _sized(_Settings)
        rc = self._fn("StowmasterGetSettings")(ctypes.byref(s))
        if rc != OK:
            self._raise("StowmasterGetSettings", rc)
        return _convert(s, Settings, flags=("settings_found", "log_writable"),
                        texts=("settings_file", "cache_dir", "index_path", "log_file"))

    def use_settings_file(self, path) -> None:
        """Makes `path` the settings file of this process, in place of the
        one beside the library (and of STOWMASTER_SETTINGS). Before the
        first Session only: raises Unusable once the library is
        initialised, when the file cannot be read, or, in a privileged
        process, when others than its owner (root or this user) may change
        it or its folder."""
        rc = self._fn("StowmasterUseSettingsFile")(_path_bytes(path))
        if rc != OK:
            self._raise("StowmasterUseSettingsFile", rc)

    def settings_report(self) -> SettingsReport:
        """Reads the settings afresh: each setting with its value in effect
        and the file and line it comes from, and each problem found (the
        ones the library logs)."""
        report = SettingsReport([], [])

        def take(item, _context):
            i = item.contents
            if i.kind == 0:
                report.settings.append(Setting(_text(i.section), _text(i.key), _text(i.value),
                                               _text(i.unit), _text(i.file), i.line))
            else:
                report.problems.append(SettingsProblem(
                    _PROBLEM_KINDS.get(i.kind, "other"), _text(i.section), _text(i.key),
                    _text(i.value), _text(i.file), i.line, _text(i.text)))
            return 1

        guard = _Callback()
        rc = self._fn("StowmasterListSettings")(_SettingFn(guard.guard(take, 0)), None)
        guard.reraise()
        if rc != OK:
            self._raise("StowmasterListSettings", rc)
        return report

    def status(self) -> Status:
        """The index as it is now: entries and bytes in use, the oldest and
        newest registrations, what a pass would delete now, what goes next,
        what is refused, and the limit and marks the figures were judged by
        (0 from a library too old to give them). Reads the index without
        changing it."""
        s = _sized(_Status)
        rc = self._fn("StowmasterGetStatus")(ctypes.byref(s))
        if rc != OK:
            self._raise("StowmasterGetStatus", rc)
        return _convert(s, Status,
                        moments=("oldest_registration", "newest_registration", "now",
                                 "next_registered"),
                        flags=("index_present", "index_formatted", "lists_consistent",
                               "reconciliation_pending"),
                        texts=("next_path",))

    def entries(self, limit: int = 0) -> Iterator[Entry]:
        """The listed files, the most recently registered first, at most
        `limit` (0: all). One walk of the library gathers them (it copies
        them under the lock in its own batches), then they are yielded:
        memory grows with the list, which `limit` bounds. When another
        process changed the list so that the walk could not go on (Changed)
        or the list is damaged (Damaged), what the walk reported is yielded
        first, then the error is raised."""
        limit = _number("limit", limit, _i32, low=0)
        gathered: List[Entry] = []
        guard = _Callback()

        def take(entry, _context):
            gathered.append(_entry(entry.contents))
            return 1
        callback = _EntryFn(guard.guard(take, 0))
        rc = self._fn("StowmasterListEntries")(limit, callback, None)
        error = None
        if rc != OK:
            try:
                self._raise("StowmasterListEntries", rc)
            except Error as e:
                error = e
        guard.reraise()
        if error is not None and not isinstance(error, (Changed, Damaged)):
            raise error

        def walk():
            yield from gathered
            if error is not None:
                raise error
        return walk()

    def session(self, threaded: bool = False) -> "Session":
        """One initialisation of the library in this process, for many
        registrations (see Session); `threaded` starts the worker thread
        that runs the eviction passes."""
        return Session(self, threaded)

    def add(self, path, delay: int = 0) -> None:
        """Registers (or refreshes) one file, with its own minimum age
        `delay` in seconds, as a client program does: initialises the
        library, registers, and shuts it down again."""
        delay = _delay(delay)
        with Session(self) as s:
            s.add(path, delay)

    def check(self, repair: bool = False, files: bool = False) -> CheckReport:
        """Checks the index (repairing it with `repair`) and, with `files`,
        every listed file against the disk. Raises Damaged or FilesDiffer,
        with the report as .result, when either check finds fault."""
        repair = _flag("repair", repair)
        files = _flag("files", files)
        r = _sized(_CheckReport)
        rc = self._fn("StowmasterCheck")(repair, ctypes.byref(r))
        if rc not in (OK, DAMAGED):
            self._raise("StowmasterCheck", rc)
        report = _convert(r, CheckReport, texts=("problem",),
                          flags=("index_present", "index_formatted", "lists_consistent",
                                 "interrupted", "repaired"), skip=("size", "sound", "files"))
        report.sound = rc == OK
        if rc == DAMAGED:
            self._raise("StowmasterCheck", rc, report)
        if files:
            report.files = self._check_files(repair, report)
        return report

    def _check_files(self, repair: int, report: CheckReport) -> FilesReport:
        problems: List[FileProblem] = []
        guard = _Callback()

        def take(problem, _context):
            problems.append(_convert(problem.contents, FileProblem, texts=("path",),
                                     flags=("repaired",)))
            return 1
        callback = _FileProblemFn(guard.guard(take, 0))
        r = _sized(_FilesReport)
        rc = self._fn("StowmasterCheckFiles")(repair, ctypes.byref(r), callback, None)
        guard.reraise()
        files = _convert(r, FilesReport, skip=("size", "problems"))
        files.problems = problems
        report.files = files
        if rc != OK:
            self._raise("StowmasterCheckFiles", rc, report)
        return files

    @staticmethod
    def _progress(guard: _Callback, progress, convert, fn_type):
        if progress is None:
            return fn_type()  # a null function pointer

        def tell(so_far, _context):
            progress(convert(so_far.contents))
            return None
        return fn_type(guard.guard(tell, None))

    def shrink(self, dry_run: bool = False, older_than=None,
               progress: Optional[Callable[[PassResult], None]] = None) -> PassResult:
        """One eviction pass now. `dry_run`: deletes nothing and tells what
        it would delete. `older_than` (seconds or datetime.timedelta):
        deletes every file registered at least that long ago, whatever the
        marks. `progress` is called between batches with what was done so
        far. The result's `entries` are the files deleted (would be).
        Raises Incomplete (with .result) when some could not be deleted."""
        dry_run = _flag("dry_run", dry_run)
        seconds = 0
        if older_than is not None:
            seconds = _number("older_than", older_than, _i64, low=1, seconds=True)
        guard = _Callback()
        told: List[Entry] = []

        def each(entry, _context):
            told.append(_entry(entry.contents))
            return 1
        options = _sized(_ShrinkOptions)
        options.dry_run = dry_run
        options.older_than = seconds
        options.each = _EntryFn(guard.guard(each, 0))
        result = _sized(_PassResult)
        progress_fn = self._progress(guard, progress, _pass_result, _ProgressFn)
        rc = self._fn("StowmasterShrinkWith")(ctypes.byref(options), ctypes.byref(result),
                                              progress_fn, None)
        guard.reraise()
        done = _pass_result(result)
        done.entries = told
        if rc != OK:
            self._raise("StowmasterShrinkWith", rc, done)
        return done

    def empty(self, progress: Optional[Callable[[PassResult], None]] = None) -> PassResult:
        """Deletes every listed file that can be deleted. Raises Incomplete
        (with .result) when some could not be deleted."""
        guard = _Callback()
        result = _sized(_PassResult)
        progress_fn = self._progress(guard, progress, _pass_result, _ProgressFn)
        rc = self._fn("StowmasterEmpty")(ctypes.byref(result), progress_fn, None)
        guard.reraise()
        done = _pass_result(result)
        if rc != OK:
            self._raise("StowmasterEmpty", rc, done)
        return done

    def dump(self, path=None) -> Optional[str]:
        """The text dump of the index, as Index.Dmp holds it: written to the
        file `path`, or returned as text when no path is given."""
        fn = self._fn("StowmasterDump")
        if path is not None:
            rc = fn(_path_bytes(path), None, 0, None)
            if rc != OK:
                self._raise("StowmasterDump", rc)
            return None
        size = 1 << 16
        for _ in range(8):  # the index may grow between two tries
            buffer = ctypes.create_string_buffer(size)
            length = ctypes.c_uint64(0)
            rc = fn(None, buffer, size, ctypes.byref(length))
            if rc == OK:
                return buffer.raw[:length.value].decode("utf-8", "surrogateescape")
            if rc != TOO_SMALL:
                self._raise("StowmasterDump", rc)
            size = max(size * 2, length.value + 1 + (1 << 16))
        self._raise("StowmasterDump", TOO_SMALL)

    def adopt(self, folder, delay: int = 0,
              progress: Optional[Callable[[AdoptResult], None]] = None) -> AdoptResult:
        """Registers the files below `folder` that the index does not list.
        Raises Incomplete (with .result) when some could not be."""
        delay = _delay(delay)
        guard = _Callback()
        result = _sized(_AdoptResult)
        progress_fn = self._progress(guard, progress, lambda r: _convert(r, AdoptResult),
                                     _AdoptProgressFn)
        rc = self._fn("StowmasterAdopt")(_path_bytes(folder), delay, ctypes.byref(result),
                                         progress_fn, None)
        guard.reraise()
        done = _convert(result, AdoptResult)
        if rc != OK:
            self._raise("StowmasterAdopt", rc, done)
        return done

    def disk_usage(self) -> DiskUsage:
        """What lies on disk below the cache folders, and how much of it the
        index does not list."""
        u = _sized(_DiskUsage)
        rc = self._fn("StowmasterGetDiskUsage")(ctypes.byref(u))
        if rc != OK:
            self._raise("StowmasterGetDiskUsage", rc)
        return _convert(u, DiskUsage)

    def counters(self) -> Counters:
        """The cache's counters (registrations, passes, deletions, refusals),
        read under the index lock. Creates nothing."""
        c = _sized(_Counters)
        rc = self._fn("StowmasterGetCounters")(ctypes.byref(c))
        if rc != OK:
            self._raise("StowmasterGetCounters", rc)
        return _convert(c, Counters, moments=("counting_since", "last_reset", "now"),
                        flags=("available",))

    def zero_counters(self) -> None:
        """Sets every counter to zero under the index lock and notes when
        (Counters.last_reset). Without an index there is nothing to zero."""
        rc = self._fn("StowmasterZeroCounters")()
        if rc != OK:
            self._raise("StowmasterZeroCounters", rc)


class Session:
    """The library initialised for registering files, as a client program
    uses it; shut down again by close() or at the end of a `with` block.

        with stowmaster.Session() as s:
            s.add("/var/cache/app/file", delay=60)
    """

    def __init__(self, library: Optional[Library] = None, threaded: bool = False):
        self._open = False
        threaded = _flag("threaded", threaded)
        self._lib = library if library is not None else _default()
        ready = self._lib._fn("InitializeStowmaster")(threaded)
        self._open = True
        if ready != 1:
            text = self._lib.last_error() or "the library could not be initialised"
            self.close()
            raise Unusable(text)

    def add(self, path, delay: int = 0) -> None:
        """Registers (or refreshes) one file with its own minimum age
        `delay` in seconds; raises NotRegistered when the library refused
        it (the reason is in the message)."""
        if not self._open:
            raise Unusable("the session is closed")
        delay = _delay(delay)
        path = os.fspath(path)
        if _WINDOWS and isinstance(path, str):
            if "\0" in path:
                raise BadArgument("a path holds a NUL character: %r" % (path,))
            added = self._lib._fn("AddFileToStowmasterW")(path, delay)
        else:
            added = self._lib._fn("AddFileToStowmasterA")(_path_bytes(path), delay)
        if added != 1:
            raise NotRegistered(self._lib.last_error() or "%s was not registered" % (path,))

    def close(self) -> None:
        """Ends the initialisation (the library writes its dump when it was
        the process's last one). Safe to call more than once."""
        # Once for every initialisation, whatever it returned.
        if self._open:
            self._open = False
            self._lib._fn("UnInitializeStowmaster")()

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass


# ------------------------------------------------ the module's library --

_default_library: Optional[Library] = None
_default_lock = threading.Lock()


def load(path=None) -> Library:
    """Loads the library the module-level functions use: `path`, else as
    the module looks for it."""
    global _default_library
    with _default_lock:
        _default_library = Library(path)
        return _default_library


def _default() -> Library:
    global _default_library
    with _default_lock:
        if _default_library is None:
            _default_library = Library()
        return _default_library


def version() -> str:
    """Library.version() of the library the module loaded (see load())."""
    return _default().version()


def settings() -> Settings:
    """Library.settings() of the library the module loaded (see load())."""
    return _default().settings()


def status() -> Status:
    """Library.status() of the library the module loaded (see load())."""
    return _default().status()


def use_settings_file(path) -> None:
    """Library.use_settings_file() of the library the module loaded (see
    load())."""
    _default().use_settings_file(path)


def settings_report() -> SettingsReport:
    """Library.settings_report() of the library the module loaded (see
    load())."""
    return _default().settings_report()


def entries(limit: int = 0) -> Iterator[Entry]:
    """Library.entries() of the library the module loaded (see load())."""
    return _default().entries(limit)


def add(path, delay: int = 0) -> None:
    """Library.add() of the library the module loaded (see load())."""
    _default().add(path, delay)


def check(repair: bool = False, files: bool = False) -> CheckReport:
    """Library.check() of the library the module loaded (see load())."""
    return _default().check(repair, files)


def shrink(dry_run: bool = False, older_than=None, progress=None) -> PassResult:
    """Library.shrink() of the library the module loaded (see load())."""
    return _default().shrink(dry_run, older_than, progress)


def empty(progress=None) -> PassResult:
    """Library.empty() of the library the module loaded (see load())."""
    return _default().empty(progress)


def dump(path=None) -> Optional[str]:
    """Library.dump() of the library the module loaded (see load())."""
    return _default().dump(path)


def adopt(folder, delay: int = 0, progress=None) -> AdoptResult:
    """Library.adopt() of the library the module loaded (see load())."""
    return _default().adopt(folder, delay, progress)


def disk_usage() -> DiskUsage:
    """Library.disk_usage() of the library the module loaded (see load())."""
    return _default().disk_usage()


def counters() -> Counters:
    """Library.counters() of the library the module loaded (see load())."""
    return _default().counters()


def zero_counters() -> None:
    """Library.zero_counters() of the library the module loaded (see load())."""
    _default().zero_counters()

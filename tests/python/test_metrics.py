"""`stowmaster metrics` read as a metrics text-file collector reads it: with
the distribution's Prometheus client parser, against `status --json`, for
two caches at once, and written with --output as a collector may read it at
any moment."""

import json
import math
import os
import resource
import signal
import subprocess
import time
import unittest

from prometheus_client.parser import text_string_to_metric_families

from sandbox import Sandbox, built

# Each gauge and the member of `status --json` that holds its value.
GAUGES = {
    "stowmaster_limit_bytes": "limit_bytes",
    "stowmaster_used_bytes": "bytes_in_use",
    "stowmaster_high_mark_bytes": "high_mark_bytes",
    "stowmaster_low_mark_bytes": "low_mark_bytes",
    "stowmaster_entries": "entries",
    "stowmaster_oldest_entry_age_seconds": None,  # now - oldest_registration
    "stowmaster_refused_entries": "refused_files",
    "stowmaster_refused_bytes": "refused_bytes",
}
DISK_GAUGE = "stowmaster_unlisted_bytes"
# Each counter (its family name; the sample adds _total) and the member of
# `stats --json` that holds its value.
COUNTERS = {
    "stowmaster_registrations_new": "registrations_new",
    "stowmaster_registrations_refreshed": "registrations_refreshed",
    "stowmaster_registrations_refused": "registrations_refused",
    "stowmaster_full_index_refusals": "full_index_refusals",
    "stowmaster_passes": "passes",
    "stowmaster_pass_deleted_files": "pass_deleted_files",
    "stowmaster_pass_deleted_bytes": "pass_deleted_bytes",
    "stowmaster_emptied_files": "emptied_files",
    "stowmaster_emptied_bytes": "emptied_bytes",
    "stowmaster_deletions_refused": "deletions_refused",
    "stowmaster_repair_dropped": "repair_dropped",
}


def find_member(value, name):
    """The first member `name` anywhere in a JSON value, or None."""
    if isinstance(value, dict):
        if name in value:
            return value[name]
        value = list(value.values())
    if isinstance(value, list):
        for item in value:
            found = find_member(item, name)
            if found is not None:
                return found
    return None


class MetricsTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.remove)

    def program(self, *args):
        code, out, err = self.box.run_program(*args)
        self.assertEqual(code, 0, "stowmaster %s: %s" % (" ".join(args), err))
        return out

    def gauges(self, *args):
        """The samples of `stowmaster metrics ARGS`, by family name: the
        gauges, then the counters (whose samples end in _total), every
        family with help text and one sample."""
        values = {}
        counters = {}
        for family in text_string_to_metric_families(self.program("metrics", *args)):
            with self.subTest(family=family.name):
                counter = family.name in COUNTERS
                self.assertEqual(family.type, "counter" if counter else "gauge")
                self.assertNotEqual(family.documentation, "")
                self.assertEqual(len(family.samples), 1)
                self.assertEqual(family.samples[0].name,
                                 family.name + ("_total" if counter else ""))
                self.assertEqual(family.samples[0].labels, {"cache": self.box.cache_dir})
            (counters if family.name in COUNTERS else values)[family.name] = \
                family.samples[0].value
        self.assertEqual(set(counters), set(COUNTERS))
        return values, counters

    def test_metrics_match_the_status(self):
        box = self.box
        self.program("add", box.data("a.bin", 1500), box.data("b.bin", 2500), "--delay", "60")
        os.makedirs(box.cache_dir, exist_ok=True)
        # A file below the cache folder that the index does not list.
        with open(os.path.join(box.cache_dir, "stray.bin"), "wb") as f:
            f.write(b"z" * 777)

        before = time.time()
        status = json.loads(self.program("status", "--json"))
        self.assertEqual(status["schema"], 1)
        values, counters = self.gauges()
        after = time.time()
        self.assertEqual(set(values), set(GAUGES))
        for gauge, member in GAUGES.items():
            if member is not None:
                with self.subTest(gauge=gauge):
                    self.assertEqual(values[gauge], status[member])
        self.assertEqual(values["stowmaster_entries"], 2)
        self.assertEqual(values["stowmaster_used_bytes"], 4000)
        self.assertEqual(values["stowmaster_limit_bytes"], 50 << 20)
        # The age, taken a moment after the status, by a clock of seconds.
        status_age = status["now"] - status["oldest_registration"]
        age = values["stowmaster_oldest_entry_age_seconds"]
        self.assertGreaterEqual(age, status_age)
        self.assertLessEqual(age, status_age + math.ceil(after) - math.floor(before))

        disk_status = json.loads(self.program("status", "--disk", "--json"))
        disk, _ = self.gauges("--disk")
        self.assertEqual(set(disk), set(GAUGES) | {DISK_GAUGE})
        self.assertEqual(disk[DISK_GAUGE], 777)
        self.assertEqual(disk[DISK_GAUGE], find_member(disk_status, "unlisted_bytes"))
        self.assertEqual(disk["stowmaster_used_bytes"], 4000)

        # The counters as `stats --json` has them: the two registrations.
        stats = json.loads(self.program("stats", "--json"))
        for counter, member in COUNTERS.items():
            with self.subTest(counter=counter):
                self.assertEqual(counters[counter], stats[member])
                self.assertEqual(counters[counter], 2 if member == "registrations_new" else 0)

    def test_two_caches_give_distinct_series(self):
        # A second cache on the same host, whose folder name holds a double
        # quote and a backslash, escaped in the output as \" and \\.
        other = Sandbox()
        self.addCleanup(other.remove)
        other.cache_dir = os.path.join(other.root, 'ca"che\\x')
        other.write_settings(cache_size=20, precision=10, delay_minutes=5)
        code, other_text, err = other.run_program("metrics")
        self.assertEqual(code, 0, err)

        series = []
        text = self.program("metrics") + other_text
        for family in text_string_to_metric_families(text):
            for sample in family.samples:
                series.append((sample.name, tuple(sorted(sample.labels.items()))))
        self.assertEqual(len(series), 2 * (len(GAUGES) + len(COUNTERS)))
        self.assertEqual(len(set(series)), len(series), "duplicate series")
        self.assertIn('{cache="%s/ca\\"che\\\\x"}' % other.root, other_text)
        self.assertEqual({dict(labels)["cache"] for _, labels in series},
                         {self.box.cache_dir, other.cache_dir})

    def test_output_replaces_the_file_whole_or_not_at_all(self):
        folder = os.path.join(self.box.root, "textfile")
        os.makedirs(folder)
        target = os.path.join(folder, "stowmaster.prom")
        with open(target, "w") as f:
            f.write("old\n")
        printed = self.program("metrics")
        self.assertEqual(self.program("metrics", "--output", target), "")
        with open(target) as f:
            self.assertEqual(f.read(), printed)
        self.assertEqual(os.listdir(folder), ["stowmaster.prom"])

        def unwritable_folder():
            os.chmod(folder, 0o555)
            self.addCleanup(os.chmod, folder, 0o755)

        def one_hundred_bytes_at_most():
            # The write fails halfway, after the file was opened.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))

        cases = [("file size limit", None, one_hundred_bytes_at_most)]
        if os.geteuid() != 0:  # the superuser writes into any folder
            cases.append(("unwritable folder", unwritable_folder, None))
        for name, prepare, in_child in cases:
            with self.subTest(name):
                with open(target, "w") as f:
                    f.write("old\n")
                if prepare:
                    prepare()
                done = subprocess.run([built("STOW_TEST_PROGRAM"), "--library", self.box.library,
                                       "metrics", "--output", target], preexec_fn=in_child,
                                      capture_output=True, text=True, timeout=60)
                self.assertEqual(done.returncode, 1)
                self.assertIn("stowmaster: cannot write the metrics", done.stderr)
                with open(target) as f:
                    self.assertEqual(f.read(), "old\n")
                self.assertEqual(os.listdir(folder), ["stowmaster.prom"])


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""tools/docs-check: what it takes for a command, its output and a link."""
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "docs-check")
loader = importlib.machinery.SourceFileLoader("docs_check", TOOL)
found = importlib.util.spec_from_loader("docs_check", loader)
dc = importlib.util.module_from_spec(found)
loader.exec_module(dc)


def check(text, *args):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "page.md")
        with open(path, "w") as f:
            f.write(text)
        r = subprocess.run([sys.executable, TOOL, *args, path], capture_output=True, text=True, timeout=60)
        return r.returncode, r.stdout + r.stderr


class Matching(unittest.TestCase):
    def test_wildcard_lines_take_any_number_of_lines_and_nothing_else_is_loose(self):
        self.assertTrue(dc.matches(["a", "...", "z"], ["a", "z"]))
        self.assertTrue(dc.matches(["a", "...", "z"], ["a", "b", "c", "z"]))
        self.assertTrue(dc.matches(["..."], []))
        self.assertFalse(dc.matches(["a", "...", "z"], ["a", "b"]))
        self.assertFalse(dc.matches(["a"], ["a", "b"]))      # output past what is shown
        self.assertFalse(dc.matches(["a", "b"], ["a"]))
        self.assertTrue(dc.matches(["Total time = ..."], ["Total time = 3 s"]))
        self.assertFalse(dc.matches(["Total time = ..."], ["Total: 3 s"]))

    def test_anchors_are_the_hosts_slugs(self):
        self.assertEqual(dc.slug("Pictures of the unit's days: `--trace` and `--plot`"),
                         "pictures-of-the-units-days---trace-and---plot")
        self.assertEqual(dc.slug("On the chip: `make target`"), "on-the-chip-make-target")


class Running(unittest.TestCase):
    def test_output_and_status_as_shown_pass(self):
        rc, out = check("# T\n\n  ```console\n  $ printf 'a\\nb\\n'; \\\n  exit 3\n  a\n  b\n  $ echo $?\n  3\n  ```\n")
        self.assertEqual(rc, 0, out)
        self.assertIn("2 commands checked", out)

    def test_a_difference_stops_with_a_diff(self):
        rc, out = check("# T\n\n```console\n$ echo hello\nhallo\n$ echo never\nnever\n```\n")
        self.assertEqual(rc, 1)
        self.assertIn("-hallo", out)
        self.assertIn("+hello", out)
        self.assertNotIn("echo never", out)

    def test_other_blocks_are_not_run_and_device_commands_are_skipped(self):
        rc, out = check("# T\n\n```sh\n$ false\nx\n```\n\n```console\n$ build/zelmora-pc --port /dev/ttyUSB0 ping\n```\n")
        self.assertEqual(rc, 0, out)
        self.assertIn("skip", out)
        self.assertIn("0 commands checked, 1 skipped", out)

    def test_broken_links_and_anchors_are_named(self):
        rc, out = check("# T\n\n## A b\n\n[ok](#a-b) [gone](missing.md) [bad](#nowhere)\n")
        self.assertEqual(rc, 1)
        self.assertIn("missing.md: no such file", out)
        self.assertIn("#nowhere: no heading", out)
        self.assertNotIn("#a-b", out)


if __name__ == "__main__":
    unittest.main()

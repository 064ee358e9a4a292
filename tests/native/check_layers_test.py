#!/usr/bin/env python3
"""The include-layer check (scripts/tools/check_layers.py) on small trees of its own: what it
lets through, what it stops and what it says. Usage: check_layers_test.py REPOSITORY_ROOT"""
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else
                       os.path.join(os.path.dirname(__file__), "..", ".."))
CHECKER = os.path.join(ROOT, "scripts", "tools", "check_layers.py")

TABLE = """\
# a small house: a portable base, a portable middle, a Windows top
base         portable  -
middle       portable  base
middle/w*    windows   base
top          windows   base middle
"""


class LayerCheckTest(unittest.TestCase):
    def tree(self, files, table=TABLE):
        """Writes `files` (path -> text) and the table into a fresh tree; returns its root."""
        root = tempfile.mkdtemp(prefix="layers-")
        self.addCleanup(subprocess.run, ["rm", "-rf", root])
        files = dict(files)
        files.setdefault("cmake/layers.txt", table)
        for path, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                f.write(text)
        return root

    def run_check(self, root):
        r = subprocess.run([sys.executable, CHECKER, root], capture_output=True, text=True)
        return r.returncode, r.stderr

    def test_allowed_includes_and_guarded_windows_headers_pass(self):
        root = self.tree({
            "base/b.h": "#pragma once\n#include <cstdint>\n",
            "middle/m.cpp": '#include "middle/m.h"\n#include "base/b.h"\n'
                            "#if defined(_WIN32)\n#include <winsock2.h>\n#else\n"
                            "#include <sys/socket.h>\n#endif\n",
            "middle/m.h": "#pragma once\n",
            "middle/win_part.cpp": "#include <windows.h>\n#include \"middle/m.h\"\n",
            "top/t.cpp": '#include <windows.h>\n#include "middle/m.h"\n#include "base/b.h"\n',
            "top/local.cpp": '#include "local.h"\n',
            "top/local.h": "",
            "top/sub/s.cpp": '#include "top/local.h"\n#include "top/sub/s.h"\n',
            "top/sub/s.h": "",
        })
        self.assertEqual(self.run_check(root), (0, ""))

    def test_windows_header_in_portable_code_fails_with_file_and_line(self):
        root = self.tree({"base/b.cpp": "#include <cstdio>\n\n#include <windows.h>\n"})
        rc, out = self.run_check(root)
        self.assertEqual(rc, 1)
        self.assertIn("base/b.cpp:3: <windows.h> in portable code", out)

    def test_windows_header_on_the_non_windows_branch_fails(self):
        root = self.tree({
            "base/a.cpp": "#ifndef _WIN32\n#include <shellapi.h>\n#endif\n",
            "base/b.cpp": "#if !defined(_WIN32)\n#include <windows.h>\n#else\n#endif\n",
            "base/c.cpp": "#if defined(_WIN32)\n#else\n#include <winsock2.h>\n#endif\n",
        })
        rc, out = self.run_check(root)
        self.assertEqual(rc, 1)
        for where in ("base/a.cpp:2", "base/b.cpp:2", "base/c.cpp:3"):
            self.assertIn(where, out)

    def test_include_of_a_higher_layer_fails_and_names_what_is_allowed(self):
        root = self.tree({"middle/m.cpp": '#include "top/t.h"\n', "top/t.h": ""})
        rc, out = self.run_check(root)
        self.assertEqual(rc, 1)
        self.assertIn('middle/m.cpp:1: includes "top/t.h", but middle may include only: base',
                      out)

    def test_windows_header_of_an_allowed_folder_fails_in_portable_code(self):
        table = TABLE + "other  portable  middle\n"
        root = self.tree({"other/o.cpp": '#include "middle/win_part.h"\n',
                          "middle/win_part.h": "#include <windows.h>\n"}, table)
        rc, out = self.run_check(root)
        self.assertEqual(rc, 1)
        self.assertIn('other/o.cpp:1: includes "middle/win_part.h", a Windows header', out)

    def test_folder_without_a_row_fails(self):
        root = self.tree({"newpart/n.cpp": "int n;\n",
                          "base/builder/b.cpp": "#include <windows.h>\n",
                          "build-x/generated.cpp": "#include <windows.h>\n"})
        rc, out = self.run_check(root)
        self.assertEqual(rc, 1)
        self.assertIn("the folder newpart/ has no row in the layer table", out)
        # Only the top-level build trees are left out, not a source folder of a like name.
        self.assertIn("base/builder/b.cpp:1: <windows.h> in portable code", out)
        self.assertNotIn("build-x", out)

    def test_bad_table_is_reported_apart_from_faults(self):
        root = self.tree({"base/b.h": ""}, "base sometimes -\n")
        rc, out = self.run_check(root)
        self.assertEqual(rc, 2)
        self.assertIn("layers.txt:1", out)

    def test_this_repository_keeps_its_layers(self):
        self.assertEqual(self.run_check(ROOT), (0, ""))


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""The include check finds what it must on small trees of its own."""

import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_includes  # noqa: E402


class IncludeCheckTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.TemporaryDirectory()
        self.src = os.path.join(self.home.name, "src")
        self.write("core/state/QoConfig.h", "")
        self.write("core/entity/QoDevice.h", "")
        self.write("framework/errors/QoException.h", "")
        self.write("core/daemon/router/QoWorker.h", "")
        self.write("core/daemon/sync/SyncEngine.h", "")

    def tearDown(self):
        self.home.cleanup()

    def write(self, path, text):
        full = os.path.join(self.src, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="utf-8") as out:
            out.write(text)

    def found(self, pending=()):
        return [(f, n, i) for f, n, i, _ in check_includes.check(self.src, pending)]

    def test_includes_that_point_down_pass(self):
        self.write(
            "core/entity/QoDevice.cpp",
            '#include <string>\n#include "core/entity/QoDevice.h"\n'
            '#include "framework/errors/QoException.h"\n#include "proto/VelborProto.pb.h"\n')
        self.write("core/daemon/router/QoWorker.cpp", '#include "core/daemon/sync/SyncEngine.h"\n')
        self.assertEqual(self.found(), [])

    def test_upward_and_sideways_includes_are_reported_where_they_are(self):
        self.write("core/entity/QoDevice.cpp", '// a device\n#include "core/state/QoConfig.h"\n')
        self.write("core/daemon/sync/SyncEngine.cpp", '  #  include "../router/QoWorker.h"\n')
        self.write("ui/MainWindow.cpp", '#include "core/daemon/router/QoWorker.h"\n')
        self.write("platform/Dispatch.cpp", '#include "framework/errors/QoException.h"\n')
        self.assertEqual(self.found(), [
            ("src/core/daemon/sync/SyncEngine.cpp", 1, "../router/QoWorker.h"),
            ("src/core/entity/QoDevice.cpp", 2, "core/state/QoConfig.h"),
            ("src/platform/Dispatch.cpp", 1, "framework/errors/QoException.h"),
            ("src/ui/MainWindow.cpp", 1, "core/daemon/router/QoWorker.h"),
        ])

    def test_unplaced_files_and_unknown_includes_are_reported(self):
        self.write("extras/Tool.cpp", '#include "core/entity/QoDevice.h"\n')
        self.write("core/entity/QoFile.cpp", '#include "QoMissing.h"\n')
        self.assertEqual(self.found(), [
            ("src/core/entity/QoFile.cpp", 1, "QoMissing.h"),
            ("src/extras/Tool.cpp", 1, "core/entity/QoDevice.h"),
        ])

    def test_a_link_is_placed_by_what_it_points_at(self):
        os.symlink(os.path.join(self.src, "core/state/QoConfig.h"), os.path.join(self.src, "core/entity/Config.h"))
        self.write("core/entity/QoDevice.cpp", '#include "core/entity/Config.h"\n')
        self.assertEqual(self.found(), [("src/core/entity/QoDevice.cpp", 1, "core/entity/Config.h")])

    def test_includes_the_compiler_reads_are_read_however_they_are_written(self):
        # src/ is on the include path, so angle brackets find its headers too; comments are
        # blanks to the preprocessor and a backslash joins lines before directives are read.
        self.write("core/entity/QoDevice.cpp",
                   '#include <core/state/QoConfig.h>\n'
                   '/* a device */ #include "core/state/QoConfig.h"\n'
                   '#include /* its settings */ "core/state/QoConfig.h"\n'
                   '#\\\ninclude "core/state/QoConfig.h"\n'
                   '#include_next "core/state/QoConfig.h"\n'
                   '/* #include "core/state/QoConfig.h"\n#include "core/state/QoConfig.h" */\n'
                   '// #include "core/state/QoConfig.h"\n'
                   'const char* text = "/*";\n#include "core/state/QoConfig.h"\n'
                   'const char* end = "*/";\n'
                   '#include <string>\n#include <proto/VelborProto.pb.h>\n'
                   '#include /* over\n two lines */ "core/state/QoConfig.h"\n')
        self.assertEqual(self.found(), [
            ("src/core/entity/QoDevice.cpp", 1, "core/state/QoConfig.h"),
            ("src/core/entity/QoDevice.cpp", 2, "core/state/QoConfig.h"),
            ("src/core/entity/QoDevice.cpp", 3, "core/state/QoConfig.h"),
            ("src/core/entity/QoDevice.cpp", 4, "core/state/QoConfig.h"),
            ("src/core/entity/QoDevice.cpp", 6, "core/state/QoConfig.h"),
            ("src/core/entity/QoDevice.cpp", 11, "core/state/QoConfig.h"),
            ("src/core/entity/QoDevice.cpp", 15, "core/state/QoConfig.h"),
        ])

    def test_an_include_by_macro_is_reported(self):
        self.write("core/entity/QoDevice.cpp",
                   '#define SETTINGS "core/state/QoConfig.h"\n#include SETTINGS\n')
        self.assertEqual(self.found(), [("src/core/entity/QoDevice.cpp", 2, "SETTINGS")])

    def test_headers_of_any_suffix_are_read(self):
        self.write("core/entity/QoDevice.hxx", '#include "core/state/QoConfig.h"\n')
        self.write("core/entity/QoDevice.ixx", '#include "core/state/QoConfig.h"\n')
        self.write("core/entity/CMakeLists.txt", '# include "core/state/QoConfig.h"\n')
        self.assertEqual(self.found(), [
            ("src/core/entity/QoDevice.hxx", 1, "core/state/QoConfig.h"),
            ("src/core/entity/QoDevice.ixx", 1, "core/state/QoConfig.h"),
        ])

    def test_sources_in_a_linked_folder_are_read_where_the_link_places_them(self):
        outside = os.path.join(self.home.name, "elsewhere")
        os.makedirs(outside)
        with open(os.path.join(outside, "Extra.cpp"), "w", encoding="utf-8") as out:
            out.write('#include "core/state/QoConfig.h"\n')
        os.symlink(outside, os.path.join(self.src, "core/entity/extra"))
        # A link back up the tree is read once, not followed round and round.
        os.symlink(self.src, os.path.join(self.src, "core/entity/extra/loop"))
        os.symlink(outside, os.path.join(outside, "again"))
        self.assertEqual(self.found(), [("src/core/entity/extra/Extra.cpp", 1, "core/state/QoConfig.h")])

    def test_pending_exceptions_excuse_only_what_still_occurs(self):
        self.write("core/entity/QoDevice.cpp", '#include "core/state/QoConfig.h"\n')
        pending = [("src/core/entity/QoDevice.cpp", "core/state/QoConfig.h"),
                   ("src/core/entity/QoFile.cpp", "core/state/QoConfig.h")]
        self.assertEqual(self.found(pending), [("src/core/entity/QoFile.cpp", None, "core/state/QoConfig.h")])


if __name__ == "__main__":
    unittest.main()

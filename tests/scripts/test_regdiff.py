"""The demo's registry report: keys, values, the NT restart list and the printers."""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REGDIFF = os.path.join(HERE, "..", "..", "scripts", "regdiff.py")

BEFORE = (
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Office]\r\n"
    "\"Port\"=\"Dot4_001\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Lab]\r\n"
    "\"Port\"=\"LPT1:\"\r\n\"Say\"=\"a \\\"b\\\" c\"\r\n\r\n"
)
AFTER = (
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Lab]\r\n"
    "\"Port\"=\"LPT2:\"\r\n\"Say\"=\"a \\\"b\\\" c\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager]\r\n"
    # \??\C:\a.dll, "", \??\C:\b, !\??\C:\c
    "\"PendingFileRenameOperations\"=hex(7):5c,3f,3f,5c,43,3a,5c,61,2e,64,6c,6c,00,00,\\\r\n"
    "  5c,3f,3f,5c,43,3a,5c,62,00,21,5c,3f,3f,5c,43,3a,5c,63,00,00\r\n\r\n"
)


class RegDiff(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.before = os.path.join(self.dir.name, "before.reg")
        self.after = os.path.join(self.dir.name, "after.reg")
        with open(self.before, "w", newline="") as f:
            f.write(BEFORE)
        with open(self.after, "w", newline="") as f:
            f.write(AFTER)

    def tearDown(self):
        self.dir.cleanup()

    def run_tool(self, *args):
        return subprocess.run([sys.executable, REGDIFF, *args], capture_output=True,
                              text=True, check=True).stdout.splitlines()

    def test_keys_and_values(self):
        out = self.run_tool(self.before, self.after)
        self.assertIn("- [HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Office]", out)
        self.assertIn("~ [HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Lab] "
                      "Port: LPT1: -> LPT2:", out)
        self.assertFalse(any("Say" in line for line in out), out)  # unchanged, with escapes
        self.assertIn("+ [HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager]", out)

    def test_pending_operations_in_pairs(self):
        self.assertEqual(self.run_tool("--pending", self.after),
                         ["  delete C:\\a.dll", "  rename C:\\b to C:\\c"])
        self.assertEqual(self.run_tool("--pending", self.before),
                         ["(PendingFileRenameOperations is empty)"])

    def test_printers_with_their_ports(self):
        self.assertEqual(self.run_tool("--printers", self.before),
                         ["  Office (port Dot4_001)", "  Lab (port LPT1:)"])


if __name__ == "__main__":
    unittest.main()

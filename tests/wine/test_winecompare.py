"""Tests of the reductions and the comparison that the Wine runner relies on (no Wine needed)."""

import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winecompare as wc  # noqa: E402

SM = wc.SESSION_MANAGER
PRINTERS = wc.CCS + "\\Control\\Print\\Printers"


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


class RegistryFiles(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def test_regedit4_values_escapes_continuations_class_and_implied_parents(self):
        text = ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Quillmark\\Corlis]\r\n"
                ';class="Varnholt"\r\n'
                '@="default"\r\n"Path"="C:\\\\WINDOWS\\\\INF \\"x\\""\r\n'
                '"Port Number"=dword:0000000c\r\n"Bin"=hex:01,02,\\\r\n  03\r\n'
                '"Multi"=hex(7):61,00,62,00,00\r\n')
        keys = wc.parse_reg(write(self.path("a.reg"), text.encode("latin-1")))
        name, cls, values = keys["HKEY_LOCAL_MACHINE\\SOFTWARE\\QUILLMARK\\CORLIS"]
        self.assertEqual(cls, "Varnholt")
        self.assertEqual(values[""][1], ("sz", "default"))
        self.assertEqual(values["PATH"][1], ("sz", 'C:\\WINDOWS\\INF "x"'))
        self.assertEqual(values["PORT NUMBER"][1], ("dword", 12))
        self.assertEqual(values["BIN"][1], ("hex3", b"\x01\x02\x03"))
        self.assertEqual(values["MULTI"][1], ("multi", ("a", "b")))
        self.assertIn("HKEY_LOCAL_MACHINE\\SOFTWARE\\QUILLMARK", keys)
        self.assertIn("HKEY_LOCAL_MACHINE\\SOFTWARE", keys)

    def test_the_selected_control_set_is_also_current_control_set_and_wins(self):
        text = ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print]\r\n"
                '"A"="1"\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Stale]\r\n'
                '[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n"Current"=dword:00000001\r\n')
        keys = wc.parse_reg(write(self.path("a.reg"), text.encode("latin-1")))
        self.assertEqual(keys[(wc.CCS + "\\Control\\Print").upper()][2]["A"], ("A", ("sz", "1")))
        self.assertNotIn((wc.CCS + "\\Stale").upper(), keys)
        # Without Select it is an ordinary key.
        keys = wc.parse_reg(write(self.path("b.reg"), text.split("[HKEY_LOCAL_MACHINE\\SYSTEM\\S")[0]
                                  .encode("latin-1")))
        self.assertIn((wc.CCS + "\\Stale").upper(), keys)
        self.assertNotIn((wc.CCS + "\\Control").upper(), keys)

    def test_wine_gets_the_selected_control_set_as_current_control_set_too(self):
        text = ("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control]\n\"A\"=\"1\"\n\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n\"Current\"=dword:00000001\n")
        self.assertEqual(wc.control_set_copy(text),
                         "[" + wc.CCS + "\\Control]\n\"A\"=\"1\"\n\n")
        self.assertEqual(wc.control_set_copy(text.replace("001\\", "002\\")), "")
        self.assertEqual(wc.control_set_copy(text + "[" + wc.CCS + "]\n"), "")

    def test_wine_export_in_utf16_reads_like_the_ansi_file(self):
        pending = "\\??\\C:\\windows\\INF\\mirelc.inf\0\0\\??\\C:\\uninstall.txt\0\0\0"
        hexdata = ",".join("%02x" % b for b in pending.encode("utf-16-le"))
        text = ("Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"
                '"PendingFileRenameOperations"=hex(7):%s\r\n"X"="a\\\\b"\r\n' % (SM, hexdata))
        keys = wc.parse_reg(write(self.path("w.reg"), b"\xff\xfe" + text.encode("utf-16-le")))
        values = keys[SM.upper()][2]
        # The empty destination after each path survives; only the list's terminator goes.
        self.assertEqual(values["PENDINGFILERENAMEOPERATIONS"][1],
                         ("multi", ("\\??\\C:\\windows\\INF\\mirelc.inf", "",
                                    "\\??\\C:\\uninstall.txt", "")))
        self.assertEqual(values["X"][1], ("sz", "a\\b"))

    def test_changes_are_deletions_creations_and_values_inside_the_subtrees_only(self):
        def reg(keys):
            return {k.upper(): (k, None, {n.upper(): (n, v) for n, v in vals.items()})
                    for k, vals in keys.items()}
        gone = wc.HKLM + "\\Enum\\DOT4"
        kept = PRINTERS + "\\Reception"
        outside = wc.HKLM + "\\Software\\Other"
        before = reg({gone: {}, kept: {"Port": ("sz", "LPT1:")}, outside: {}, SM: {}})
        after = reg({kept: {"Port": ("sz", "LPT2:")}, SM: {"P": ("multi", ("a", ""))},
                     wc.HKLM + "\\Software\\Quillmark\\Corlis": {}})
        facts = wc.reg_changes(before, after)
        self.assertEqual(facts, {
            ("key deleted", gone.upper()),
            ("value", kept.upper(), "PORT", ("sz", "LPT2:")),
            ("value", SM.upper(), "P", ("multi", ("a", ""))),
            ("key created", (wc.HKLM + "\\Software\\Quillmark\\Corlis").upper()),
        })

    def test_missing_import_is_reported_except_under_unreadable_keys(self):
        image = {PRINTERS.upper() + "\\A": (PRINTERS + "\\A", None,
                                            {"PORT": ("Port", ("sz", "Dot4_001"))}),
                 PRINTERS.upper() + "\\B": (PRINTERS + "\\B", None, {})}
        wine = {PRINTERS.upper() + "\\A": (PRINTERS + "\\A", None,
                                           {"PORT": ("Port", ("sz", "FILE:"))})}
        self.assertEqual(wc.reg_missing(image, wine, []),
                         ["value %s\\A\\Port" % PRINTERS, "key %s\\B" % PRINTERS])
        self.assertEqual(wc.reg_missing(image, wine, [PRINTERS.upper() + "\\B"]),
                         ["value %s\\A\\Port" % PRINTERS])


def log_record(n, category, typ, level, message="", dump=b""):
    line = "%-6s%-9s%-8s%-8s%-16s%-6s%-24s\n" % ("%04d" % n, category, typ, level,
                                                 "Printers.cpp", "12",
                                                 "Mon Dec 07 16:55:47 2026")
    if message:
        # The writer wraps at 74 columns with a 2-blank indent: 72 characters, then 71.
        chunks = [message[:72]] + [message[i:i + 71] for i in range(72, len(message), 71)]
        body = "\n".join("  " + c for c in chunks)
        line += "\n" + body + "\n"
        if not dump:
            line += "\n"
    if dump:
        hexes = "".join("%02x " % b for b in dump)
        line += "\n  %08x: %s%s %s\n\n" % (0x0019FF2C, hexes, " " * (48 - 3 * len(dump)),
                                           "." * len(dump))
    return line


class LogFile(unittest.TestCase):
    def test_records_wrapped_messages_and_dumps(self):
        long_message = "Deleted " + "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\" * 6 + "Dot4.sys"
        text = ("\x01event category type    level   source          line  timestamp\n"
                "----- -------- ------- ------- --------------- ----- ---\n"
                + log_record(0, "general", "info", "release", "Ossel WinMain Startup")
                + log_record(1, "general", "info", "omega")
                + log_record(2, "prntpath", "error", "release",
                             "deletePrinter: fail OpenPrinter, GetLastError = ",
                             (1801).to_bytes(4, "little"))
                + log_record(3, "general", "info", "release", long_message))
        with tempfile.TemporaryDirectory() as d:
            path = write(os.path.join(d, "uninstall.txt"),
                         text.replace("\n", "\r\n").encode("latin-1"))
            records = wc.parse_log(path)
        self.assertEqual(records, [
            ("general", "info", "release", "Ossel WinMain Startup", b""),
            ("general", "info", "omega", "", b""),
            ("prntpath", "error", "release", "deletePrinter: fail OpenPrinter, GetLastError = ",
             b"\x09\x07\x00\x00"),
            ("general", "info", "release", long_message, b""),
        ])

    def test_a_wrap_between_the_bytes_of_a_double_byte_character_is_joined_first(self):
        # The writer wraps by bytes: 72 of them, then the rest.
        name = "Printers\\" + "カ" * 40
        raw = log_record(0, "general", "info", "release", name.encode("cp932").decode("latin-1"))
        self.assertIn("\x83\n  J", raw)
        with tempfile.TemporaryDirectory() as d:
            wc.ANSI = "cp932"
            try:
                records = wc.parse_log(write(os.path.join(d, "u.txt"), raw.encode("latin-1")))
            finally:
                wc.ANSI = "latin-1"
        self.assertEqual(records, [("general", "info", "release", name, b"")])

    def test_a_missing_log_is_none_and_an_empty_one_has_no_records(self):
        with tempfile.TemporaryDirectory() as d:
            self.assertIsNone(wc.parse_log(os.path.join(d, "uninstall.txt")))
            self.assertEqual(wc.parse_log(write(os.path.join(d, "e.txt"), b"")), [])


def side(log, registry=(), files=None, before_keys=()):
    return {"exit_code": 0, "prompt_shown": 1, "log": log, "registry": set(registry),
            "files": files or {}, "import_missing": [], "before_keys": set(before_keys)}


def info(message, cat="general", typ="info", dump=b""):
    return (cat, typ, "release", message, dump)


class Comparing(unittest.TestCase):
    def image(self, answer="no"):
        image = wc.Image.__new__(wc.Image)
        image.windir = "C:\\WINDOWS"
        image.answer = answer
        image.files_open_on_9x = []
        return image

    def printer_run(self, wine_open_error):
        deleted = info(PRINTERS + "\\Office DELETED and Saved for deletion from the printers "
                       "folder.")
        enter = info("deletePrinter: enter BMSPrinter::deletePrinter")
        wine = [deleted, enter,
                info("deletePrinter: fail OpenPrinter, GetLastError = ", "prntpath", "error",
                     wine_open_error.to_bytes(4, "little")),
                info("Office deletion from the printers folder FAILED")]
        sim = [deleted, enter, info("Office DELETED from the printers folder")]
        return wine, sim

    def test_a_printer_lost_with_its_key_is_the_named_wine_departure(self):
        wine, sim = self.printer_run(1801)
        result = wc.compare(self.image(), side(wine), side(sim))
        self.assertEqual(result.differences, [])
        self.assertIn("wine-spooler-is-registry", result.applied)

    def test_another_open_failure_is_a_difference(self):
        wine, sim = self.printer_run(5)
        result = wc.compare(self.image(), side(wine), side(sim))
        self.assertEqual(len(result.differences), 1)
        self.assertIn("log records differ", result.differences[0])
        self.assertNotIn("wine-spooler-is-registry", result.applied)

    def test_windows_directory_spelling_is_mended_only_for_wines_lower_case(self):
        wine_pending = ("value", SM.upper(), "P",
                        ("multi", ("\\??\\C:\\windows\\INF\\mirelc.inf", "")))
        sim_pending = ("value", SM.upper(), "P",
                       ("multi", ("\\??\\C:\\WINDOWS\\INF\\mirelc.inf", "")))
        rec = "Deleted C:\\%s\\INF\\mirelc.inf - Reboot Needed"
        result = wc.compare(self.image(), side([info(rec % "windows")], [wine_pending]),
                            side([info(rec % "WINDOWS")], [sim_pending]))
        self.assertEqual(result.differences, [])
        self.assertIn("wine-windir-lowercase", result.applied)
        # A different directory is not a spelling.
        result = wc.compare(self.image(), side([info(rec % "winnt")]),
                            side([info(rec % "WINDOWS")]))
        self.assertEqual(len(result.differences), 1)

    def test_registry_and_file_differences_are_reported_each(self):
        key = ("key deleted", (wc.HKLM + "\\Enum\\DOT4").upper())
        result = wc.compare(self.image(), side([], [key], {"WINDOWS/INF/MIRELC.INF": "deleted"}),
                            side([], [], {}))
        self.assertEqual(sorted(result.differences), [
            "file WINDOWS/INF/MIRELC.INF: Wine deleted, dot4sim unchanged",
            "registry, Wine only: key deleted HKEY_LOCAL_MACHINE\\ENUM\\DOT4",
        ])

    def test_a_key_the_prefix_already_had_is_not_a_creation(self):
        created = ("key created", SM.upper())
        value = ("value", SM.upper(), "P", ("multi", ("x", "")))
        result = wc.compare(self.image(), side([], [value], before_keys=[SM.upper()]),
                            side([], [created, value]))
        self.assertEqual(result.differences, [])
        self.assertIn("wine-prefix-keys", result.applied)
        result = wc.compare(self.image(), side([], [value]), side([], [created, value]))
        self.assertEqual(len(result.differences), 1)

    def test_an_nt_machine_key_wine_created_is_the_named_departure(self):
        created = ("key created", (wc.HKLM + "\\ENUM"))
        sim = side([], [created])
        sim["enum_added"] = True
        result = wc.compare(self.image(), side([], [created]), sim)
        self.assertEqual(result.differences, [])
        self.assertIn("wine-creates-machine-keys", result.applied)
        # The program did not get that far under Wine either: nothing to compare.
        result = wc.compare(self.image(), side([], []), sim)
        self.assertEqual(result.differences, [])
        result = wc.compare(self.image(), side([], []), side([], [created]))
        self.assertEqual(len(result.differences), 1)

    def test_wines_own_aliases_are_the_named_departure_and_only_they(self):
        ini = "[rename]\r\nNUL=C:\\windows\\%s\\OTHER\\%s\r\n"
        wine = ("written", (ini % ("inf", "QUIL~XJF.INF")).encode())
        for sim, same in [(ini % ("INF", "QUILLM~1.INF"), True),
                          (ini % ("INF", "QuillmarkMIRELUSB.INF"), False),
                          (ini % ("SYSTEM", "QUILLM~1.INF"), False),
                          ((ini % ("INF", "QUILLM~1.INF")) + "NUL=C:\\X\r\n", False)]:
            result = wc.compare(self.image(), side([], files={"WINDOWS/WININIT.INI": wine}),
                                side([], files={"WINDOWS/WININIT.INI": ("written",
                                                                        sim.encode())}))
            self.assertEqual(result.differences == [], same, sim)
            self.assertEqual("wine-short-names" in result.applied, same)

    def test_written_files_compare_by_content_and_the_log_by_existence(self):
        wine_ini = ("written", b"[rename]\r\nNUL=C:\\windows\\SYSTEM\\Dot4Mon.dll\r\n")
        same = ("written", b"[rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll\r\n")
        lf = ("written", b"[rename]\nNUL=C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll\n")
        result = wc.compare(self.image(), side([], files={"WINDOWS/WININIT.INI": wine_ini}),
                            side([], files={"WINDOWS/WININIT.INI": same}))
        self.assertEqual(result.differences, [])
        # Text mode on Windows writes CRLF; a simulated LF is a fault of the simulation.
        result = wc.compare(self.image(), side([], files={"WINDOWS/WININIT.INI": wine_ini}),
                            side([], files={"WINDOWS/WININIT.INI": lf}))
        self.assertEqual(len(result.differences), 1)
        logs = {"UNINSTALL.TXT": ("written", b"a")}
        result = wc.compare(self.image(), side([], files=logs),
                            side([], files={"UNINSTALL.TXT": ("written", b"b")}))
        self.assertEqual(result.differences, [])
        result = wc.compare(self.image(), side(None), side([]))
        self.assertEqual(result.differences, ["uninstall.txt: Wine absent, dot4sim present"])


class ClassesAndPrompt(unittest.TestCase):
    image = Comparing.image

    def test_class_departures_are_named_and_a_wrong_class_is_not(self):
        quill = (wc.HKLM + "\\Software\\Quillmark").upper()
        corlis = quill + "\\CORLIS"
        enum = (wc.HKLM + "\\Enum").upper()
        both = [("key created", quill), ("key created", corlis), ("class", corlis, "Varnholt")]
        wine = both + [("class", quill, "Varnholt"), ("class", enum, "Varnholt")]
        result = wc.compare(self.image(), side([], wine, before_keys=[enum]), side([], both))
        self.assertEqual(result.differences, [])
        self.assertLessEqual({"wine-create-replaces-class", "wine-class-on-intermediate-keys"},
                             result.applied)
        # The key the program names must carry the class on both sides.
        result = wc.compare(self.image(), side([], wine, before_keys=[enum]),
                            side([], both[:2] + [("class", corlis, "Other")]))
        self.assertEqual(len(result.differences), 3)

    def test_prompt_is_read_from_the_visible_buttons_and_compared(self):
        prompt = wc.parse_prompt("caption=REBOOT REQUIRED\nbutton=&Yes\nbutton=&No\n"
                                 "text=You must reboot.  Reboot Now?\n")
        self.assertEqual((prompt["caption"], prompt["text"], prompt["style"]),
                         ("REBOOT REQUIRED", "You must reboot.  Reboot Now?", 4))
        self.assertIsNone(wc.parse_prompt("button=OK\nbutton=&No\n")["style"])
        wine = side([])
        wine["prompt"] = prompt
        sim = side([])
        sim["outcome"] = {"prompt": [("caption", "REBOOT REQUIRED"),
                                     ("text", "You must reboot. Reboot Now?"), ("style", "4")]}
        result = wc.compare(self.image(), wine, sim)
        self.assertEqual(result.differences, [
            "prompt text: Wine 'You must reboot.  Reboot Now?', dot4sim 'You must reboot. "
            "Reboot Now?'"])


class MachineIni(unittest.TestCase):
    def image(self, ini):
        d = tempfile.mkdtemp()
        write(os.path.join(d, "machine.ini"), ini.encode())
        return wc.Image(d)

    def test_settings_wine_can_make_are_accepted(self):
        image = self.image("[system]\nplatform = 1\n[prompt]\nanswer=yes\n[files]\n"
                           "C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll = in_use\n"
                           "[registry]\nHKEY_LOCAL_MACHINE\\enum\\DOT4=read_only\n"
                           "[spooler]\nOffice=open=1801\n")
        image.check_reproducible()
        self.assertEqual(wc.wine_version(image), "win98")
        self.assertEqual(image.answer, "yes")
        # Windows 98 deletes open files: nothing is held open for it.
        self.assertEqual(image.files_in_use, [])
        self.assertEqual(image.files_open_on_9x, ["C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"])
        nt = self.image("[files]\nC:\\x.dll = in_use\n")
        nt.check_reproducible()
        self.assertEqual(nt.files_in_use, ["C:\\x.dll"])
        self.assertEqual(image.key_rules, [("HKEY_LOCAL_MACHINE\\enum\\DOT4", "read_only")])

    def test_settings_only_simwin_can_make_are_skipped_with_the_reason(self):
        for ini, reason in [
            ("[faults]\nRegDeleteKeyA=5\n", "[faults]"),
            ("[files]\nC:\\x=no_schedule\n", "no_schedule"),
            ("[files]\nC:\\x=loaded\n", "loaded module"),
            ("[short_names]\nC:\\Long Name=LONGNA~9\n", "aliases"),
            ("[registry]\nHKEY_LOCAL_MACHINE\\enum=no_delete\n", "no_delete"),
            ("[spooler]\nOffice=delete=5\n", "delete=5"),
            ("[privileges]\nadjust=1300\n", "adjust"),
            ("[system]\nwindows_directory=C:\\WINNT\n", "WINNT"),
            ("[system]\nplatform=0\n", "platform 0"),
        ]:
            with self.assertRaises(wc.Skip) as caught:
                self.image(ini).check_reproducible()
            self.assertIn(reason, str(caught.exception))


class VersionBlock(unittest.TestCase):
    def test_blocks_and_strings_are_read_back(self):
        import importlib.machinery
        import importlib.util
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check-exe")
        loader = importlib.machinery.SourceFileLoader("check_exe", path)
        module_spec = importlib.util.spec_from_loader("check_exe", loader)
        check_exe = importlib.util.module_from_spec(module_spec)
        loader.exec_module(check_exe)

        def block(key, value=b"", wtype=0, children=b""):
            k = (key + "\0").encode("utf-16-le")
            head = 6 + len(k)
            pad = (-head) % 4
            vlen = len(value) // 2 if wtype == 1 else len(value)
            body = k + b"\0" * pad + value + b"\0" * ((-len(value)) % 4) + children
            return struct.pack("<HHH", 6 + len(body), vlen, wtype) + body

        fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x10000, 0x10000, 0x10000, 0x10000,
                            0x3F, 0, 0x40004, 1, 0, 0, 0)
        s = block("FileVersion", "1.00.001.0\0".encode("utf-16-le"), 1)
        table = block("040904b0", children=s)
        data = block("VS_VERSION_INFO", fixed, 0, block("StringFileInfo", children=table))
        root = check_exe.version_blocks(data)
        self.assertEqual(root[0][0], "VS_VERSION_INFO")
        self.assertEqual(struct.unpack_from("<I", root[0][1], 0)[0], 0xFEEF04BD)
        strings = root[0][2][0][2][0][2]
        self.assertEqual(strings, [("FileVersion", "1.00.001.0", [])])


if __name__ == "__main__":
    unittest.main()

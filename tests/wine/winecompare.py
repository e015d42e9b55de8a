"""Runs a machine image under Wine and under dot4sim and compares what the two saw.

The Wine side: a fresh prefix copied from a template, the image's registry imported, its files
copied into the prefix, the exe run under Xvfb and its prompt answered with xdotool. The sim
side: a copy of the image run with `dot4sim run`. Each side is reduced to what the program
changed (registry subtrees it touches, files, pending deletions) and to its log records; the
two reductions must agree except for the named Wine departures in EXCLUSIONS.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

# The code the current image's ANSI text is in: its `codepage`, else bytes read one to one as
# they always were (Wine's default locale is 1252, and every byte survives the round trip).
ANSI = "latin-1"

# A Unix locale whose language has the code page as its ANSI code page in Wine. UTF-8 keeps the
# host's file names in the encoding dot4sim gives drive files.
LOCALES = {874: "th_TH", 932: "ja_JP", 936: "zh_CN", 949: "ko_KR", 950: "zh_TW", 1250: "pl_PL",
           1251: "ru_RU", 1252: "en_US", 1253: "el_GR", 1254: "tr_TR", 1255: "he_IL",
           1256: "ar_EG", 1257: "lt_LT", 1258: "vi_VN"}
UI_LOCALE = "en_US.UTF-8"


def use_codepage(image):
    """Makes the image's code page the one ANSI text is read and written in."""
    global ANSI
    ANSI = image.codec


def ansi(data):
    return data.decode(ANSI, errors="surrogateescape")


HKLM = "HKEY_LOCAL_MACHINE"
CCS = HKLM + "\\System\\CurrentControlSet"
SESSION_MANAGER = CCS + "\\Control\\Session Manager"

# The registry subtrees the program reads or changes, and the key holding pending deletions.
SUBTREES = [
    HKLM + "\\Enum",
    CCS + "\\Control\\DeviceClasses",
    CCS + "\\Control\\Print",
    CCS + "\\Services\\Class",
    HKLM + "\\Software\\Quillmark",
    SESSION_MANAGER,
]

# Where Wine departs from Windows, or cannot be set up like the image; each rule is applied by
# name and reported whenever it changed something. README.md gives the evidence.
EXCLUSIONS = {
    "wine-windir-lowercase":
        "Wine's GetWindowsDirectoryA gives C:\\windows, Windows (and the image) C:\\WINDOWS: "
        "paths built on it are compared with the image's spelling",
    "wine-create-replaces-class":
        "Wine's RegCreateKeyExA gives an existing key the class it is called with; Windows "
        "keeps the key's class",
    "wine-class-on-intermediate-keys":
        "when RegCreateKeyExA creates missing parents on the way to the key it names, Wine gives "
        "them the class too, also to a parent whose keys below the run deleted again; Windows "
        "gives the class only to the key named",
    "wine-spooler-is-registry":
        "Wine's spooler knows a printer only while its registry key exists; after the program "
        "deleted the key, OpenPrinterA fails with 1801 where Windows' spooler still deletes it",
    "wine-session-end-restart":
        "ExitWindowsEx ends the Wine session, which carries out the pending deletions at once: "
        "compared with dot4sim run followed by dot4sim restart",
    "wine-creates-machine-keys":
        "Wine's RegCreateKeyExA creates HKEY_LOCAL_MACHINE\\enum on NT, where Windows refuses a "
        "new direct child of HKEY_LOCAL_MACHINE: for an NT image without it, dot4sim runs with "
        "that key already there, so both sides take the road Wine takes",
    "wine-no-control-set-link":
        "Wine's CurrentControlSet does not lead to the control set SYSTEM\\Select names: an NT "
        "image that holds that control set alone gets it imported under CurrentControlSet too, "
        "as a live export of an NT machine holds it",
    "wine-9x-deletes-open-files":
        "Wine keeps NT's sharing rules in its 95/98 modes, so DeleteFileA of a file open "
        "elsewhere fails there; Windows 95/98 delete open files: a 95/98 image's in_use files "
        "are not held open under Wine",
    "wine-short-names":
        "Wine's GetShortPathNameA gives its own hashed aliases (QUIL~XJF.INF) and the spelling of "
        "its prefix's folders (inf); Windows 95/98 give FAT's (QUILLM~1.INF): a line of a written "
        "file that names an alias is compared without the alias and without case",
    "wine-prefix-keys":
        "a Wine prefix already holds keys every Windows has (Session Manager, DeviceClasses) "
        "that a small image leaves out: dot4sim creates them where Wine only adds values",
}

CATEGORIES = {"file", "general", "memory", "network", "prntpath"}


class Skip(Exception):
    """The image asks for a condition that Wine cannot be made to produce."""


# ---------------------------------------------------------------------------------------------
# machine.ini


def parse_ini(text):
    """Sections of machine.ini as ordered (key, value) lists; keys keep their spelling."""
    sections = {}
    current = None
    for raw in text.splitlines():
        line = raw.strip()
        if not line or line[0] in ";#":
            continue
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1].strip().lower(), [])
            continue
        if current is None or "=" not in line:
            continue
        key, value = line.split("=", 1)
        current.append((key.strip(), value.strip()))
    return sections


class Image:
    """What the Wine runner needs to know of one machine image."""

    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(os.path.normpath(path))
        ini = os.path.join(path, "machine.ini")
        data = read_bytes(ini) if os.path.exists(ini) else b""
        self.ini = parse_ini(data.decode("latin-1"))
        system = dict((k.lower(), v) for k, v in self.ini.get("system", []))
        self.codepage = int(system.get("codepage", "0"))
        self.codec = "cp%d" % self.codepage if self.codepage else "latin-1"
        self.locale = "%s.UTF-8" % LOCALES[self.codepage] if self.codepage in LOCALES else None
        if self.codepage:
            self.ini = parse_ini(data.decode(self.codec, errors="surrogateescape"))
        self.platform = int(system.get("platform", "2"))
        default = (4, 10) if self.platform == 1 else (5, 1)
        self.major = int(system.get("major", default[0]))
        self.minor = int(system.get("minor", default[1]))
        self.windir = system.get("windows_directory", "C:\\WINDOWS")
        self.current_directory = system.get("current_directory", "C:\\")
        self.program = system.get("program",
                                  '"C:\\Program Files\\Dot4\\dot4uninstall.exe"').strip('"')
        self.version_query = system.get("version_query", "ok")
        prompt = dict((k.lower(), v) for k, v in self.ini.get("prompt", []))
        self.answer = prompt.get("answer", "no").lower()
        args = os.path.join(path, "args")
        self.args = read_bytes(args).decode(self.codec, "surrogateescape").split() if os.path.exists(args) else ["-l"]
        self.files_in_use = []
        self.files_open_on_9x = []
        self.files_read_only = []
        self.key_rules = []
        self.spooler = dict((k.upper(), v.lower()) for k, v in self.ini.get("spooler", []))

    def check_reproducible(self):
        """Raises Skip naming the first setting that Wine cannot reproduce."""
        for name in (self.locale, UI_LOCALE) if self.codepage else ():
            if not name or not locale_exists(name):
                raise Skip("codepage %d: Wine needs the locale %s, which this host has not "
                           "generated (scripts/setup.sh)" % (self.codepage, name or "(none)"))
        if self.ini.get("faults"):
            raise Skip("[faults]: injected failures exist only in simwin")
        if self.ini.get("short_names"):
            raise Skip("[short_names]: Wine makes its own aliases")
        if self.version_query != "ok":
            raise Skip("version_query fails: Wine's GetVersionExA cannot be made to fail")
        if self.windir.upper() != "C:\\WINDOWS":
            raise Skip("windows_directory %s: Wine's is always C:\\windows" % self.windir)
        if wine_version(self) is None:
            raise Skip("platform %d %d.%d has no Wine version setting" %
                       (self.platform, self.major, self.minor))
        for key, value in self.ini.get("privileges", []):
            default = "none" if key.lower() == "thread_token" else "ok"
            if value.lower() != default:
                raise Skip("[privileges] %s=%s: Wine's tokens are fixed" % (key, value))
        for key, value in self.ini.get("shutdown", []):
            if value.lower() != "ok":
                raise Skip("[shutdown] %s=%s: ExitWindowsEx cannot be made to fail" % (key, value))
        for key, value in self.ini.get("files", []):
            rule = value.lower()
            if rule == "in_use" and self.platform == 1:
                self.files_open_on_9x.append(key)
            elif rule == "loaded" and self.platform == 1:
                # No helper maps a module, but a file held open fails DeleteFileA in Wine's 95/98
                # modes too (32 where Windows gives 5), and the program treats both alike.
                self.files_in_use.append(key)
            elif rule == "loaded":
                raise Skip("[files] %s=loaded: no helper holds a file as a loaded module" % key)
            elif rule == "in_use":
                self.files_in_use.append(key)
            elif rule == "read_only":
                self.files_read_only.append(key)
            else:
                raise Skip("[files] %s=%s: Wine always schedules deletions" % (key, value))
        for key, value in self.ini.get("registry", []):
            rule = value.lower()
            if rule not in ("read_only", "no_access"):
                raise Skip("[registry] %s=%s: Wine does not refuse deletion or creation by an "
                           "access list" % (key, value))
            self.key_rules.append((key, rule))
        for name, rule in self.spooler.items():
            if rule not in ("ok", "open=1801"):
                raise Skip("[spooler] %s=%s: Wine's spooler cannot be made to fail so" %
                           (name, rule))
        if not re.match(r"^[cC]:\\", self.program):
            raise Skip("program %s is not on drive C:" % self.program)
        reg = os.path.join(self.path, "registry.reg")
        head = read_bytes(reg)[:80] if os.path.exists(reg) else b""
        if head.startswith(b"\xfe\xff") or head.startswith(b"\xef\xbb\xbf"):
            raise Skip("registry.reg is UTF-16BE or UTF-8 with a BOM: regedit reads neither as an "
                       "export of Windows")
        if head.startswith(b"\xff\xfe") and not head[2:].decode(
                "utf-16-le", "replace").startswith("Windows Registry Editor Version 5.00"):
            raise Skip("registry.reg is UTF-16 without the header \"Windows Registry Editor "
                       "Version 5.00\", the only one regedit reads in UTF-16")


def locale_exists(name):
    p = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    have = p.stdout.decode("ascii", "replace").lower().replace("utf8", "utf-8").split()
    return name.lower() in have


def wine_version(image):
    if image.platform == 1:
        return {0: "win95", 10: "win98", 90: "winme"}.get(image.minor)
    if image.platform == 2:
        return {(4, 0): "nt40", (5, 0): "win2k", (5, 1): "winxp", (5, 2): "win2003",
                (6, 0): "vista", (6, 1): "win7"}.get((image.major, image.minor))
    return None


# ---------------------------------------------------------------------------------------------
# Registry files: REGEDIT4 (the image, dot4sim) and Windows Registry Editor 5.00 (Wine's export)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_reg_text(path):
    data = read_bytes(path)
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le"), True
    return ansi(data), False


def _unquote(s):
    out = []
    i = 0
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            nxt = s[i + 1]
            out.append({"n": "\n", "r": "\r", "0": "\0"}.get(nxt, nxt))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def _decode_hex(kind, hexdata, unicode):
    raw = bytes(int(b, 16) for b in hexdata.replace(" ", "").split(",") if b)
    if kind in (1, 2, 7):
        text = raw.decode("utf-16-le", errors="replace") if unicode else ansi(raw)
        if kind == 7:
            # Every string ends with a NUL and the list with one more.
            if text.endswith("\0\0"):
                text = text[:-1]
            parts = text.split("\0")
            if parts and parts[-1] == "":
                parts.pop()
            return ("multi", tuple(parts))
        return ("sz" if kind == 1 else "expand", text.rstrip("\0"))
    if kind == 4 and len(raw) == 4:
        return ("dword", int.from_bytes(raw, "little"))
    return ("hex%d" % kind, raw)


def parse_reg(path):
    """{UPPER key path: (key path, class or None, {UPPER name: (name, value)})}."""
    keys = {}
    if not os.path.exists(path):
        return keys
    text, unicode = read_reg_text(path)
    lines = text.replace("\r\n", "\n").split("\n")
    current = None
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        while line.endswith("\\") and i < len(lines) and not line.lstrip().startswith("["):
            line = line[:-1] + lines[i].strip()
            i += 1
        if line.startswith("[") and line.rstrip().endswith("]"):
            name = line.rstrip()[1:-1]
            current = keys.setdefault(name.upper(), (name, [None], {}))
            continue
        if current is None:
            continue
        m = re.match(r';class="(.*)"$', line)
        if m:
            current[1][0] = _unquote(m.group(1))
            continue
        m = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)
        if not m:
            continue
        vname = "" if m.group(1) == "@" else _unquote(m.group(2))
        data = m.group(3)
        if data.startswith('"'):
            value = ("sz", _unquote(data[1:-1] if data.endswith('"') else data[1:]))
        elif data.startswith("dword:"):
            value = ("dword", int(data[6:], 16))
        elif data.startswith("hex:"):
            value = ("hex3", bytes(int(b, 16) for b in data[4:].replace(" ", "").split(",")
                                   if b))
        else:
            hm = re.match(r"hex\(([0-9a-fA-F]+)\):(.*)$", data)
            if not hm:
                continue
            value = _decode_hex(int(hm.group(1), 16), hm.group(2), unicode)
        current[2][vname.upper()] = (vname, value)
    # A key's header implies its parents, as it does for regedit and dot4sim.
    for k, v in list(keys.items()):
        name = v[0]
        while "\\" in name:
            name = name.rsplit("\\", 1)[0]
            keys.setdefault(name.upper(), (name, [None], {}))
    return link_control_set({k: (v[0], v[1][0], v[2]) for k, v in keys.items()})


def link_control_set(keys):
    """Shows ControlSet00N, named by SYSTEM\\Select Current, as CurrentControlSet too, as NT
    does: an NT image or a dot4sim save may hold the control set alone, a Wine export of the
    subtrees names them through CurrentControlSet. The control set wins over a stale copy."""
    select = keys.get((HKLM + "\\SYSTEM\\SELECT").upper())
    current = select[2].get("CURRENT") if select else None
    if not current or current[1][0] != "dword" or not current[1][1]:
        return keys
    target = ("%s\\SYSTEM\\ControlSet%03d" % (HKLM, current[1][1])).upper()
    if target not in keys:
        return keys
    ccs = CCS.upper()
    for k in [k for k in keys if k == ccs or k.startswith(ccs + "\\")]:
        del keys[k]
    for k, v in list(keys.items()):
        if k == target or k.startswith(target + "\\"):
            keys[ccs + k[len(target):]] = (CCS + v[0][len(target):], v[1], v[2])
    return keys


def control_set_copy(reg_text):
    """The sections of the control set that SYSTEM\\Select Current names, under
    CurrentControlSet, when the text holds that control set and no CurrentControlSet; else ""."""
    m = re.search(r'(?ims)^\[HKEY_LOCAL_MACHINE\\SYSTEM\\Select\][^\[]*^"Current"=dword:([0-9a-f]+)',
                  reg_text)
    if not m or not int(m.group(1), 16):
        return ""
    target = ("[%s\\SYSTEM\\ControlSet%03d" % (HKLM, int(m.group(1), 16))).upper()
    ccs = "[" + CCS.upper()
    out, keep = [], False
    for line in reg_text.replace("\r\n", "\n").split("\n"):
        if line.startswith("["):
            up = line.upper()
            if up.startswith(ccs + "]") or up.startswith(ccs + "\\"):
                return ""
            keep = up.startswith(target + "]") or up.startswith(target + "\\")
            if keep:
                line = "[" + CCS + line[len(target):]
        if keep:
            out.append(line)
    return "\n".join(out) + "\n" if out else ""


def in_subtrees(key):
    up = key.upper()
    return any(up == s.upper() or up.startswith(s.upper() + "\\") for s in SUBTREES)


def reg_changes(before, after):
    """What the run changed in the subtrees: a set of comparable facts."""
    facts = set()
    for k in set(before) | set(after):
        if not in_subtrees(k):
            continue
        if k in before and k not in after:
            facts.add(("key deleted", k))
        elif k in after and k not in before:
            facts.add(("key created", k))
            if after[k][1]:
                facts.add(("class", k, after[k][1]))
            for n, (_, v) in after[k][2].items():
                facts.add(("value", k, n, v))
        else:
            if before[k][1] != after[k][1]:
                facts.add(("class", k, after[k][1]))
            b, a = before[k][2], after[k][2]
            for n in set(b) | set(a):
                if b.get(n, (0, None))[1] != a.get(n, (0, None))[1]:
                    facts.add(("value", k, n, a[n][1] if n in a else None))
    return facts


def reg_missing(image_keys, wine_keys, unreadable):
    """Image keys and values that the import did not bring into the prefix."""
    missing = []
    for k, (name, _, values) in image_keys.items():
        if not in_subtrees(k) or any(k == u or k.startswith(u + "\\") for u in unreadable):
            continue
        if k not in wine_keys:
            missing.append("key %s" % name)
            continue
        for n, (vname, v) in values.items():
            if wine_keys[k][2].get(n, (0, None))[1] != v:
                missing.append("value %s\\%s" % (name, vname))
    return missing


# ---------------------------------------------------------------------------------------------
# Files


def snapshot(root, skip=()):
    """{UPPER relative path: (relative path, size, mtime_ns)} of every file under root."""
    files = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        dirnames[:] = [d for d in dirnames
                       if os.path.normpath(os.path.join(rel_dir, d)).upper() not in skip]
        for f in filenames:
            full = os.path.join(dirpath, f)
            if os.path.islink(full):
                continue
            rel = os.path.normpath(os.path.join(rel_dir, f))
            st = os.stat(full)
            files[rel.upper()] = (rel, st.st_size, st.st_mtime_ns)
    return files


def file_changes(before, after, root):
    """{UPPER path: 'deleted' | ('written', bytes)} for every file the run removed or wrote."""
    out = {}
    for k in set(before) | set(after):
        if k in before and k not in after:
            out[k] = "deleted"
        elif k not in before or before[k][1:] != after[k][1:]:
            out[k] = ("written", read_bytes(os.path.join(root, after[k][0])))
    return out


def ci_path(root, rel_parts, create_dirs=True):
    """The host path of rel_parts under root, matching existing names without case."""
    path = root
    for i, part in enumerate(rel_parts):
        match = None
        if os.path.isdir(path):
            for entry in os.listdir(path):
                if entry.upper() == part.upper():
                    match = entry
                    break
        path = os.path.join(path, match or part)
        if create_dirs and i < len(rel_parts) - 1 and not os.path.isdir(path):
            os.makedirs(path)
    return path


def windows_to_parts(winpath):
    """C:\\A\\B -> ['A', 'B'] (drive C: only)."""
    return [p for p in winpath[2:].split("\\") if p]


# ---------------------------------------------------------------------------------------------
# The log


def parse_log(path):
    """[(category, type, level, message, dump bytes)] of uninstall.txt, in file order."""
    if not os.path.exists(path):
        return None
    # Bytes until a record is whole: a wrapped line can end between the two bytes of a
    # double-byte character.
    data = read_bytes(path).replace(b"\r\n", b"\n")
    records = []
    current = None
    for raw in data.split(b"\n"):
        raw = raw.lstrip(b"\x01")
        line = raw.decode("latin-1")
        if (re.match(r"^\d{4,5} ", line) and len(line) >= 53
                and line[6:15].strip() in CATEGORIES):
            current = [line[6:15].strip(), line[15:23].strip(), line[23:31].strip(), b"", b""]
            records.append(current)
            continue
        if current is None or not line.startswith("  "):
            continue
        m = re.match(r"^  [0-9a-f]{8}: ((?:[0-9a-f]{2} )+)", line)
        if m:
            current[4] += bytes(int(b, 16) for b in m.group(1).split())
        else:
            current[3] += raw[2:]
    for r in records:
        r[3] = ansi(r[3])
    return [tuple(r) for r in records]


# ---------------------------------------------------------------------------------------------
# Running


# The loader and prefix kind: i386 Wine where the kernel runs 32-bit code, else the x86-64 build
# of the same sources in a 64-bit prefix (set by run-all).
WINE_ARCH = os.environ.get("DOT4_WINE_ARCH", "win32")
WINE = "/usr/lib/wine/wine64" if WINE_ARCH == "win64" else "wine"


class Wine:
    """One Wine prefix and the commands run in it."""

    def __init__(self, prefix, display, log, locale=None):
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH=WINE_ARCH,
                        DISPLAY=display)
        if locale:
            # Wine's ANSI code page is that of LC_CTYPE's language (the system locale); its
            # dialogs speak LC_MESSAGES's, kept English so that the prompt's buttons are Yes
            # and No, as on an English Windows set to run non-Unicode programs in that language.
            self.env.pop("LC_ALL", None)
            self.env.update(LC_CTYPE=locale, LC_MESSAGES=UI_LOCALE, LANGUAGE="en_US")
        self.env.pop("WINELOADERNOEXEC", None)
        self.log = log

    def drive_c(self):
        return os.path.join(self.prefix, "drive_c")

    def run(self, args, cwd=None, timeout=120, check=False):
        self.log.write("$ wine %s\n" % " ".join(args))
        # Output goes through a file: Wine's background processes inherit the descriptor, and
        # a pipe would stay open for as long as they live.
        with tempfile.TemporaryFile() as out_file:
            p = subprocess.run([WINE] + args, env=self.env, cwd=cwd or self.drive_c(),
                               stdout=out_file, stderr=subprocess.STDOUT, timeout=timeout)
            out_file.seek(0)
            out = ansi(out_file.read())
        self.log.write(out)
        if p.returncode != 0:
            self.log.write("(exit status %d)\n" % p.returncode)
        if check and p.returncode != 0:
            raise RuntimeError("wine %s failed with %d: %s" % (args[0], p.returncode, out))
        return p.returncode, out

    def server(self, *flags):
        subprocess.run(["wineserver"] + list(flags), env=self.env, timeout=120)

    def export(self, keys, dest_dir, tag, helpers):
        """regedit /E of each key into dest_dir, with the key classes that regclass lists;
        returns the merged parse."""
        merged = {}
        export_dir = ci_path(self.drive_c(), [EXPORT_DIR, "x"])
        os.makedirs(os.path.dirname(export_dir), exist_ok=True)
        for i, key in enumerate(keys):
            win = "C:\\%s\\%s%d.reg" % (EXPORT_DIR, tag, i)
            host = os.path.join(self.drive_c(), EXPORT_DIR, "%s%d.reg" % (tag, i))
            # Under load a Wine process now and then ends at once without a word (seen about
            # once in 200 exports): an export that neither appears nor says why is tried again.
            for _ in range(3):
                rc, out = self.run(["regedit", "/E", win, key])
                if os.path.exists(host) or "Unable to open" in out:
                    break
            else:
                raise RuntimeError("regedit /E %s wrote nothing (exit status %d)" % (key, rc))
            if os.path.exists(host):
                shutil.copy(host, os.path.join(dest_dir, "%s%d.reg" % (tag, i)))
                merged.update(parse_reg(host))
        _, out = self.run([os.path.join(helpers, "regclass.exe")] +
                          [k.split("\\", 1)[1] for k in keys], check=True)
        with open(os.path.join(dest_dir, "%s-classes.txt" % tag), "w") as f:
            f.write(out)
        for line in out.splitlines():
            cls, _, path = line.partition("\t")
            entry = merged.get(path.upper())
            if entry:
                merged[path.upper()] = (entry[0], cls, entry[2])
        return merged


EXPORT_DIR = "__regexport"


def make_template(template, display, helpers, log):
    """The prefix every scenario starts from: booted, without Z:, unmanaged windows."""
    if os.path.exists(template):
        shutil.rmtree(template)
    wine = Wine(template, display, log)
    # Without Mono and Gecko wineboot offers no installer dialog that would wait for a click.
    boot_env = dict(wine.env, WINEDLLOVERRIDES="mscoree,mshtml=")
    subprocess.run([WINE, "wineboot", "-i"], env=boot_env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300)
    wine.server("-w")
    if not os.path.isdir(wine.drive_c()):
        raise RuntimeError("wineboot made no prefix in %s (%s, %s)" % (template, WINE, WINE_ARCH))
    z = os.path.join(template, "dosdevices", "z:")
    if os.path.lexists(z):
        os.remove(z)
    wine.run(["reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "N",
              "/f"], check=True)
    wine.server("-w")


def wait_for_window(display, title, proc, timeout):
    """The X window id of the prompt, or None if the program ended or time ran out first."""
    end = time.time() + timeout
    env = dict(os.environ, DISPLAY=display)
    while time.time() < end:
        p = subprocess.run(["xdotool", "search", "--name", title], env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ids = p.stdout.split()
        if ids:
            return ids[0].decode()
        if proc.poll() is not None:
            return None
        time.sleep(0.1)
    return None


def answer_prompt(display, window, answer):
    env = dict(os.environ, DISPLAY=display)
    key = "y" if answer == "yes" else "n"
    subprocess.run(["xdotool", "windowfocus", "--sync", window], env=env,
                   stderr=subprocess.DEVNULL, timeout=10)
    subprocess.run(["xdotool", "key", "--window", window, key], env=env,
                   stderr=subprocess.DEVNULL, timeout=10)


# MessageBoxA styles by the buttons they show.
BUTTON_STYLES = {("OK",): 0, ("OK", "Cancel"): 1, ("Abort", "Retry", "Ignore"): 2,
                 ("Yes", "No", "Cancel"): 3, ("Yes", "No"): 4, ("Retry", "Cancel"): 5}


def parse_prompt(out):
    """What promptprobe read from the dialog: caption, text and the style its buttons mean."""
    prompt = {"text": [], "buttons": []}
    for line in out.splitlines():
        key, _, value = line.partition("=")
        if key == "caption":
            prompt["caption"] = value
        elif key == "text":
            prompt["text"].append(value)
        elif key == "button":
            prompt["buttons"].append(value.replace("&", ""))
    prompt["text"] = "\n".join(prompt["text"])
    prompt["style"] = BUTTON_STYLES.get(tuple(prompt["buttons"]))
    return prompt


def image_printers(reg):
    """Names of the printer keys of an image, in file order."""
    prefix = (CCS + "\\Control\\Print\\Printers\\").upper()
    out = []
    for k, (name, _, values) in reg.items():
        if k.startswith(prefix) and "\\" not in k[len(prefix):]:
            port = values.get("PORT", ("", (None, None)))[1]
            # The spooler needs a port; one without a readable port is never looked up.
            if port[0] == "sz":
                out.append((name[len(prefix):], port[1]))
    return out


# Wine's own programs and libraries, most of a prefix's size, which nothing in a run writes.
SHARED_FILES = (".dll", ".exe", ".sys", ".nls", ".drv", ".ocx", ".acm", ".cpl", ".tlb")


def clone_prefix(template, prefix):
    """A prefix of its own: Wine's binaries are hard links to the template's (a 64-bit prefix
    holds 700 MB of them), everything else, registry and ini files included, is copied."""
    def place(src, dst):
        if src.lower().endswith(SHARED_FILES):
            os.link(src, dst)
        else:
            shutil.copy2(src, dst)
    shutil.copytree(template, prefix, symlinks=True, copy_function=place)


def put_file(src, dst):
    """Copies src over dst without writing through a link that dst may share with the
    template."""
    if os.path.lexists(dst):
        os.remove(dst)
    shutil.copy(src, dst)


def run_wine(image, exe, helpers, template, display, work):
    """Runs the image under Wine; returns the side's reduction."""
    log = open(os.path.join(work, "wine-commands.txt"), "w")
    prefix = os.path.join(work, "prefix")
    if os.path.exists(prefix):
        shutil.rmtree(prefix)
    clone_prefix(template, prefix)
    for lock in ("wineserver",):
        p = os.path.join(prefix, lock)
        if os.path.exists(p):
            os.remove(p)
    wine = Wine(prefix, display, log, image.locale)
    c = wine.drive_c()
    held = None
    try:
        wine.server("-p")
        image_reg = parse_reg(os.path.join(image.path, "registry.reg"))

        # Printers the spooler must know before their keys arrive with the import.
        printers = ["%s=%s" % (n, p) for n, p in image_printers(image_reg)
                    if image.spooler.get(n.upper(), "ok") == "ok"]
        if printers:
            wine.run([os.path.join(helpers, "addprinter.exe")] + printers, check=True)

        # The image's registry, and the Windows version the platform asks for.
        reg_text, unicode = "", False
        src = os.path.join(image.path, "registry.reg")
        if os.path.exists(src):
            reg_text, unicode = read_reg_text(src)
        if not unicode and not reg_text.startswith("REGEDIT4"):
            reg_text = "REGEDIT4\n\n" + reg_text
        linked = control_set_copy(reg_text)
        reg_text += "\n" + linked
        reg_text += '\n[HKEY_CURRENT_USER\\Software\\Wine]\n"Version"="%s"\n' % wine_version(image)
        # A UTF-16 export stays one: its hex(2) and hex(7) data are UTF-16 bytes.
        body = reg_text.replace("\r\n", "\n").replace("\n", "\r\n")
        with open(os.path.join(c, "import.reg"), "wb") as f:
            f.write(b"\xff\xfe" + body.encode("utf-16-le") if unicode else body.encode(ANSI, "surrogateescape"))
        wine.run(["regedit", "/S", "C:\\import.reg"], check=True)
        os.remove(os.path.join(c, "import.reg"))
        if image.key_rules:
            wine.run([os.path.join(helpers, "regacl.exe")] +
                     ["%s=%s" % (k.split("\\", 1)[1], r) for k, r in image.key_rules], check=True)
        # Loading the spooler once lets Wine tidy the printers key before anything is measured.
        wine.run([os.path.join(helpers, "addprinter.exe")], check=True)

        # The image's files; its Windows directory is Wine's C:\windows.
        src_c = os.path.join(image.path, "drive_c")
        if os.path.isdir(src_c):
            for dirpath, _, filenames in os.walk(src_c):
                for f in filenames:
                    rel = os.path.relpath(os.path.join(dirpath, f), src_c).split(os.sep)
                    if rel[0].upper() == "WINDOWS":
                        rel[0] = "windows"
                    put_file(os.path.join(dirpath, f), ci_path(c, rel))
        for winpath in image.files_read_only:
            host = ci_path(c, windows_to_parts(winpath), create_dirs=False)
            if os.path.exists(host):
                if os.stat(host).st_nlink > 1:
                    put_file(host, host + ".own")
                    os.replace(host + ".own", host)
                os.chmod(host, 0o444)
        exe_host = ci_path(c, windows_to_parts(image.program))
        put_file(exe, exe_host)
        cwd = ci_path(c, windows_to_parts(image.current_directory) + ["x"])
        cwd = os.path.dirname(cwd)

        before_reg = wine.export(SUBTREES, work, "before", helpers)
        missing = reg_missing(image_reg, before_reg,
                              [k.upper() for k, r in image.key_rules if r == "no_access"])
        before_files = snapshot(c, skip={EXPORT_DIR.upper()})

        if image.files_in_use:
            held_out = os.path.join(work, "holdfile.txt")
            with open(held_out, "w") as out:
                held = subprocess.Popen([WINE, os.path.join(helpers, "holdfile.exe")] +
                                        image.files_in_use, env=wine.env, cwd=c, stdout=out,
                                        stderr=subprocess.DEVNULL)
            for _ in range(300):
                line = ansi(read_bytes(held_out)).strip()
                if line or held.poll() is not None:
                    break
                time.sleep(0.1)
            if line != "held":
                raise RuntimeError("holdfile: %s" % line)

        started = time.time()
        proc = subprocess.Popen([WINE, image.program] + image.args, env=wine.env, cwd=cwd,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        window = wait_for_window(display, "REBOOT REQUIRED", proc, 60)
        prompt = {}
        if window:
            _, out = wine.run([os.path.join(helpers, "promptprobe.exe"), "REBOOT REQUIRED"],
                              cwd=c)
            prompt = parse_prompt(out)
            answer_prompt(display, window, image.answer)
        try:
            exit_code = proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            exit_code = "timeout"
        log.write("run took %.1f s\n" % (time.time() - started))
        if held:
            held.kill()
            held.wait()
            held = None

        after_reg = wine.export(SUBTREES, work, "after", helpers)
        after_files = snapshot(c, skip={EXPORT_DIR.upper()})
        files = file_changes(before_files, after_files, c)
        log_path = os.path.join(cwd, "uninstall.txt")
        if os.path.exists(log_path):
            shutil.copy(log_path, os.path.join(work, "wine-uninstall.txt"))
        return {
            "exit_code": exit_code,
            "prompt_shown": 1 if window else 0,
            "prompt": prompt,
            "registry": reg_changes(before_reg, after_reg),
            "after_reg": after_reg,
            "files": files,
            "log": parse_log(log_path),
            "import_missing": missing,
            "before_keys": set(before_reg),
            "control_set_copied": bool(linked),
        }
    finally:
        if held:
            held.kill()
        wine.server("-k")
        log.close()
        shutil.rmtree(prefix, ignore_errors=True)


def run_sim(image, dot4sim, work):
    """Runs a copy of the image under dot4sim; returns the side's reduction."""
    copy = os.path.join(work, "sim-image")
    if os.path.exists(copy):
        shutil.rmtree(copy)
    shutil.copytree(image.path, copy)
    enum_added = False
    reg_path = os.path.join(copy, "registry.reg")
    if image.platform == 2 and (HKLM + "\\ENUM") not in parse_reg(reg_path):
        # wine-creates-machine-keys: the key the program creates under Wine is there from the
        # start.
        data = read_bytes(reg_path) if os.path.exists(reg_path) else b"REGEDIT4\r\n"
        line = "\r\n[%s\\enum]\r\n\r\n" % HKLM
        data += line.encode("utf-16-le" if data.startswith(b"\xff\xfe") else ANSI)
        with open(reg_path, "wb") as f:
            f.write(data)
        enum_added = True
    trace = os.path.join(work, "sim-trace.txt")
    p = subprocess.run([dot4sim, "run", copy, "--trace", trace, "--"] + image.args,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    with open(os.path.join(work, "sim-commands.txt"), "w") as f:
        f.write(ansi(p.stdout))
    outcome = parse_ini(ansi(read_bytes(os.path.join(copy, "outcome.ini")))) if os.path.exists(
        os.path.join(copy, "outcome.ini")) else {}
    c = os.path.join(copy, "drive_c")
    log_path = ci_path(c, windows_to_parts(image.current_directory) + ["uninstall.txt"],
                       create_dirs=False)
    if image.answer == "yes":
        subprocess.run([dot4sim, "restart", copy], stdout=subprocess.DEVNULL, timeout=120)
    log = parse_log(log_path)
    before = snapshot(os.path.join(image.path, "drive_c"))
    after = snapshot(c)
    return {
        "exit_code": p.returncode,
        "prompt_shown": int(dict(outcome.get("prompt", [])).get("shown", "0")),
        "outcome": outcome,
        "registry": reg_changes(parse_reg(os.path.join(image.path, "registry.reg")),
                                parse_reg(os.path.join(copy, "registry.reg"))),
        "after_reg": parse_reg(os.path.join(copy, "registry.reg")),
        "files": file_changes(before, after, c),
        "log": log,
        "enum_added": enum_added,
        "created_with_class": traced_creates(trace),
    }


def traced_creates(trace):
    """(UPPER key path, class) of each RegCreateKeyExA with a class that succeeded, from a root:
    also the keys the run deleted again."""
    out = set()
    if not os.path.exists(trace):
        return out
    q = r'"((?:[^"\\]|\\.)*)"'
    for line in ansi(read_bytes(trace)).splitlines():
        m = re.match(r"RegCreateKeyExA\((HKEY_[A-Z_]+), %s, 0, %s, .*\) = 0\b" % (q, q), line)
        if m:
            key = (m.group(1) + "\\" + _unquote(m.group(2))).rstrip("\\")
            out.add((key.upper(), _unquote(m.group(3))))
    return out


# ---------------------------------------------------------------------------------------------
# Comparing


class Comparison:
    def __init__(self):
        self.differences = []
        self.applied = set()

    def differ(self, what):
        self.differences.append(what)

    def rule(self, name):
        assert name in EXCLUSIONS
        self.applied.add(name)


def _fix_windir(text, image, cmp):
    if "C:\\windows" in text:
        cmp.rule("wine-windir-lowercase")
        return re.sub(r"C:\\windows(?=\\|$)", lambda m: image.windir, text)
    return text


def _fix_value(v, image, cmp):
    if v is None:
        return v
    if v[0] in ("sz", "expand"):
        return (v[0], _fix_windir(v[1], image, cmp))
    if v[0] == "multi":
        return ("multi", tuple(_fix_windir(s, image, cmp) for s in v[1]))
    return v


ALIAS = re.compile(r"[^\\\\/=\r\n]*~[^\\\\/\r\n.]*(\.[^\\\\/\r\n]*)?")


def _without_aliases(text):
    """The text with each 8.3 alias replaced by one mark, and lines holding one upper-cased."""
    lines = []
    for line in text.split("\n"):
        bare = ALIAS.sub("~", line)
        lines.append(bare.upper() if bare != line else line)
    return "\n".join(lines)


def _fact_text(f):
    return " ".join(str(x) for x in f)


def compare(image, wine, sim):
    cmp = Comparison()
    if image.answer == "yes":
        cmp.rule("wine-session-end-restart")
    if wine.get("control_set_copied"):
        cmp.rule("wine-no-control-set-link")
    if image.files_open_on_9x:
        cmp.rule("wine-9x-deletes-open-files")

    if wine["exit_code"] != sim["exit_code"]:
        cmp.differ("exit code: Wine %s, dot4sim %s" % (wine["exit_code"], sim["exit_code"]))
    if wine["prompt_shown"] != min(sim["prompt_shown"], 1):
        cmp.differ("prompt shown: Wine %s, dot4sim %s" % (wine["prompt_shown"],
                                                          sim["prompt_shown"]))
    sim_prompt = dict(sim.get("outcome", {}).get("prompt", []))
    if wine["prompt_shown"] and sim_prompt:
        wp = wine.get("prompt", {})
        for what, wv, sv in [("caption", wp.get("caption"), sim_prompt.get("caption")),
                             ("text", wp.get("text"), sim_prompt.get("text")),
                             ("style", str(wp.get("style")), sim_prompt.get("style"))]:
            if wv != sv:
                cmp.differ("prompt %s: Wine %r, dot4sim %r" % (what, wv, sv))
    for m in wine["import_missing"]:
        cmp.differ("regedit /S did not import %s" % m)

    # Saved printers whose key the program deleted: Wine's spooler has lost them.
    wine_log = list(wine["log"] or [])
    sim_log = list(sim["log"] or [])
    deleted_keys = set()
    for r in wine_log:
        m = re.match(r"^.*\\Printers\\(.*) DELETED and Saved for deletion from the printers "
                     r"folder\.$", r[3])
        if m:
            deleted_keys.add(m.group(1))
    fixed = []
    i = 0
    while i < len(wine_log):
        r = wine_log[i]
        nxt = wine_log[i + 1:i + 3]
        if (r[3] == "deletePrinter: enter BMSPrinter::deletePrinter" and len(nxt) == 2
                and nxt[0][3].startswith("deletePrinter: fail OpenPrinter")
                and nxt[0][4] == (1801).to_bytes(4, "little")
                and nxt[1][3].endswith(" deletion from the printers folder FAILED")):
            name = nxt[1][3][:-len(" deletion from the printers folder FAILED")]
            if name in deleted_keys and (r[0], r[1], r[2], name +
                                         " DELETED from the printers folder") in [
                                             x[:3] + (x[3],) for x in sim_log]:
                cmp.rule("wine-spooler-is-registry")
                fixed.append(r)
                fixed.append(("general", "info", "release",
                              name + " DELETED from the printers folder", b""))
                i += 3
                continue
        fixed.append(r)
        i += 1
    wine_log = [(a, b, c, _fix_windir(d, image, cmp), e) for a, b, c, d, e in fixed]

    if (wine["log"] is None) != (sim["log"] is None):
        cmp.differ("uninstall.txt: Wine %s, dot4sim %s" % (
            "absent" if wine["log"] is None else "present",
            "absent" if sim["log"] is None else "present"))
    elif wine_log != sim_log:
        import difflib
        a = ["%s %s %s %s %s" % (r[0], r[1], r[2], r[3], r[4].hex()) for r in wine_log]
        b = ["%s %s %s %s %s" % (r[0], r[1], r[2], r[3], r[4].hex()) for r in sim_log]
        diff = [d for d in difflib.unified_diff(b, a, "dot4sim", "wine", lineterm="", n=1)]
        cmp.differ("log records differ:\n    " + "\n    ".join(diff))

    wine_reg = set()
    for f in wine["registry"]:
        if f[0] == "value":
            f = (f[0], f[1], f[2], _fix_value(f[3], image, cmp))
        wine_reg.add(f)
    for f in list(wine_reg):
        if (f[0] == "class" and f[2] == "Varnholt" and f[1] in wine["before_keys"]
                and f not in sim["registry"]):
            cmp.rule("wine-create-replaces-class")
            wine_reg.discard(f)
    # Keys the run named with a class: those still there, and those it deleted again.
    named = set((f[1], f[2]) for f in sim["registry"] if f[0] == "class" and f in wine_reg)
    named |= set(sim.get("created_with_class", ()))
    for f in list(wine_reg):
        if (f[0] == "class" and f not in sim["registry"] and ("key created", f[1]) in wine_reg
                and ("key created", f[1]) in sim["registry"]
                and any(n.startswith(f[1] + "\\") and c == f[2] for n, c in named)):
            cmp.rule("wine-class-on-intermediate-keys")
            wine_reg.discard(f)
    sim_reg = set()
    enum_created = ("key created", (HKLM + "\\ENUM"))
    if sim.get("enum_added"):
        cmp.rule("wine-creates-machine-keys")
        if enum_created not in wine_reg:
            sim["registry"].discard(enum_created)
    for f in sim["registry"]:
        if f[0] == "key created" and f[1] in wine["before_keys"]:
            cmp.rule("wine-prefix-keys")
            continue
        sim_reg.add(f)
    for f in sorted(wine_reg - sim_reg, key=_fact_text):
        cmp.differ("registry, Wine only: " + _fact_text(f))
    for f in sorted(sim_reg - wine_reg, key=_fact_text):
        cmp.differ("registry, dot4sim only: " + _fact_text(f))

    wf = dict(wine["files"])
    sf = dict(sim["files"])
    for k in sorted(set(wf) | set(sf)):
        w, s = wf.get(k), sf.get(k)
        if k.endswith("UNINSTALL.TXT") and w is not None and s is not None:
            w, s = (w if w == "deleted" else "written"), (s if s == "deleted" else "written")
        elif isinstance(w, tuple) and isinstance(s, tuple):
            w, s = _fix_windir(ansi(w[1]), image, cmp), ansi(s[1])
            if w != s and "~" in s and _without_aliases(w) == _without_aliases(s):
                cmp.rule("wine-short-names")
                w = s
        if w != s:
            def show(x):
                if x is None:
                    return "unchanged"
                if x == "deleted" or x == "written":
                    return x
                return "written %r" % (x if isinstance(x, str) else x[1][:200])
            cmp.differ("file %s: Wine %s, dot4sim %s" % (k, show(w), show(s)))
    return cmp


def write_facts(side, path):
    """The reduction of one side as text, for reading a failure or a departure afterwards."""
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write("exit code %s, prompt shown %s\n" % (side["exit_code"], side["prompt_shown"]))
        for fact in sorted(side["registry"], key=_fact_text):
            f.write("registry %s\n" % _fact_text(fact))
        for k, v in sorted(side["files"].items()):
            f.write("file %s %s\n" % (k, v if v == "deleted" else "written %d bytes" % len(v[1])))
        for r in side["log"] or []:
            f.write("log %s %s %s %s %s\n" % (r[0], r[1], r[2], r[3], r[4].hex()))

#!/usr/bin/env python3
"""Shows what changed between two registry.reg files, key by key and value by value.

usage: regdiff.py BEFORE.reg AFTER.reg            keys removed (-), added (+), values changed (~)
       regdiff.py --pending FILE.reg             the NT restart list, one operation a line
       regdiff.py --printers FILE.reg            the printer keys and their ports
"""
import sys


SESSION_MANAGER = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager"
PRINTERS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers"


def decode(data):
    """A value's text as it is shown: strings plain, hex(7) as a list, hex(2) as text."""
    if data.startswith('"'):
        return data[1:-1].replace('\\"', '"').replace("\\\\", "\\")
    for prefix, kind in (("hex(7):", 7), ("hex(2):", 2)):
        if data.startswith(prefix):
            raw = bytes(int(b, 16) for b in data[len(prefix):].split(",") if b)
            text = raw.decode("latin-1")
            if kind == 2:
                return text.rstrip("\0")
            parts = text.split("\0")
            while parts and parts[-1] == "":
                parts.pop()
            return parts
    return data


def load(path):
    keys = {}
    order = []
    current = None
    pending = ""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except FileNotFoundError:
        return keys, order
    if raw.startswith(b"\xff\xfe"):
        text = raw[2:].decode("utf-16-le")
    else:
        text = raw.decode("latin-1")
    for line in text.replace("\r\n", "\n").split("\n"):
        if pending:
            line = pending + line.strip()
            pending = ""
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1]
            continue
        if not line or line.startswith(";") or line.startswith("REGEDIT") or line.startswith("Windows Registry"):
            continue
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1]
            if current.upper() not in keys:
                keys[current.upper()] = (current, {})
                order.append(current.upper())
            continue
        if current is None or "=" not in line:
            continue
        if line.startswith("@="):
            name, data = "@", line[2:]
        else:
            end = 1
            while end < len(line) and not (line[end] == '"' and line[end - 1] != "\\"):
                end += 1
            name, data = line[1:end], line[end + 2:]
        keys[current.upper()][1][name] = data
    return keys, order


def show(value):
    v = decode(value)
    if isinstance(v, list):
        return "[" + ", ".join(v) + "]"
    return v


def main(argv):
    if len(argv) == 3 and argv[1] == "--pending":
        keys, _ = load(argv[2])
        entry = keys.get(SESSION_MANAGER.upper())
        if not entry or "PendingFileRenameOperations" not in entry[1]:
            print("(PendingFileRenameOperations is empty)")
            return 0
        raw = entry[1]["PendingFileRenameOperations"]
        text = bytes(int(b, 16) for b in raw.split(":", 1)[1].split(",") if b).decode("latin-1")
        items = text.split("\0")
        for i in range(0, len(items) - 1, 2):
            if not items[i]:
                break
            source = items[i][4:] if items[i].startswith("\\??\\") else items[i]
            if items[i + 1]:
                print("  rename %s to %s" % (source, items[i + 1].lstrip("!")[4:]))
            else:
                print("  delete %s" % source)
        return 0
    if len(argv) == 3 and argv[1] == "--printers":
        keys, order = load(argv[2])
        prefix = PRINTERS.upper() + "\\"
        found = False
        for k in order:
            if k.startswith(prefix) and "\\" not in k[len(prefix):]:
                name, values = keys[k]
                print("  %s (port %s)" % (name[len(prefix):], show(values.get("Port", "?"))))
                found = True
        if not found:
            print("  (none)")
        return 0
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    before, border = load(argv[1])
    after, aorder = load(argv[2])
    for k in border:
        if k not in after:
            print("- [%s]" % before[k][0])
    for k in aorder:
        if k not in before:
            print("+ [%s]" % after[k][0])
            for name, data in after[k][1].items():
                print("+     %s = %s" % (name, show(data)))
            continue
        old, new = before[k][1], after[k][1]
        for name in list(old) + [n for n in new if n not in old]:
            if old.get(name) != new.get(name):
                print("~ [%s] %s: %s -> %s" % (after[k][0], name,
                                              show(old[name]) if name in old else "(none)",
                                              show(new[name]) if name in new else "(removed)"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

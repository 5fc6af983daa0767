#!/usr/bin/env python3
"""cmake --install puts the program, its desktop module, the menu entry and the icon in place.
Usage: install_test.py BUILD_DIR"""
import os
import subprocess
import sys
import tempfile


def main(build):
    with tempfile.TemporaryDirectory(prefix="kestrune-install-") as prefix:
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        expected = ["bin/kestrune", "bin/kestrune-qt.so", "share/applications/kestrune.desktop",
                    "share/icons/hicolor/32x32/apps/kestrune.png"]
        missing = [p for p in expected if not os.path.isfile(os.path.join(prefix, p))]
        if missing:
            sys.exit("not installed: " + ", ".join(missing))
        with open(os.path.join(prefix, "share/applications/kestrune.desktop")) as f:
            entry = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        want = {"Type": "Application", "Name": "Kestrune", "Icon": "kestrune",
                "Exec": os.path.join(prefix, "bin/kestrune")}
        wrong = {k: entry.get(k) for k, v in want.items() if entry.get(k) != v}
        if wrong:
            sys.exit(f"menu entry differs: {wrong}, expected {want}")
        with open(os.path.join(prefix, "share/icons/hicolor/32x32/apps/kestrune.png"), "rb") as f:
            head = f.read(24)
        if head[:8] != b"\x89PNG\r\n\x1a\n" or head[16:24] != (32).to_bytes(4, "big") * 2:
            sys.exit("the installed icon is not a 32x32 PNG")


if __name__ == "__main__":
    main(sys.argv[1])

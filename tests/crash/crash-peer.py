#!/usr/bin/env python3
"""Independent reader of crash archives: "list ARCHIVE" prints the entry names, each entry read
whole (CRC checked); "extract ARCHIVE NAME OUT" writes entry NAME to the file OUT."""
import sys
import zipfile


def main():
    cmd = sys.argv[1]
    with zipfile.ZipFile(sys.argv[2]) as z:
        if cmd == "list":
            for info in z.infolist():
                z.read(info)
                print(info.filename)
        elif cmd == "extract":
            with open(sys.argv[4], "wb") as f:
                f.write(z.read(sys.argv[3]))
        else:
            raise SystemExit("unknown command " + cmd)


if __name__ == "__main__":
    main()

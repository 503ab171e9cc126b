#!/usr/bin/env python3
"""Writes the Windows zip: KestovaChecker-VERSION/ with the exe and the user guides.

The guides are kept in UTF-8 (VERSION in them becomes the version) with LF line ends; in the zip they are UTF-8 with a byte order mark
and CR LF, which Notepad shows correctly on every Windows version. Entries come in a fixed order,
dated SOURCE_DATE_EPOCH (UTC), with fixed attributes, so the same inputs give the same bytes.

    make_zip.py --version 1.0.0 --exe KestovaChecker.exe --guide guide-ja.txt ... --out F.zip
"""
import argparse
import os
import time
import zipfile


def windows_text(path, version):
    text = open(path, encoding="utf-8").read().replace("VERSION", version)
    return b"\xef\xbb\xbf" + text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def entry(name, when):
    info = zipfile.ZipInfo(name, date_time=when)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 0  # MS-DOS: no Unix owner or mode in the archive
    info.external_attr = 0x20  # the archive attribute, as Windows' own zips set it
    return info


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--version", required=True)
    p.add_argument("--exe", required=True)
    p.add_argument("--guide", action="append", required=True)
    p.add_argument("--out", required=True)
    args = p.parse_args()
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))
    when = time.gmtime(max(epoch, 315532800))[:6]  # a zip holds no date before 1980
    folder = f"KestovaChecker-{args.version}/"
    with zipfile.ZipFile(args.out, "w") as z:
        with open(args.exe, "rb") as f:
            z.writestr(entry(folder + "KestovaChecker.exe", when), f.read(), compresslevel=9)
        for guide in args.guide:
            name = os.path.basename(guide).replace("guide-", "README-")
            z.writestr(entry(folder + name, when), windows_text(guide, args.version), compresslevel=9)


if __name__ == "__main__":
    main()

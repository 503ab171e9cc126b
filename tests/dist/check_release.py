#!/usr/bin/env python3
"""The release scripts/package.sh makes, and the tray icons it ships.

    check_release.py icons
        Every tray icon holds 16, 20, 24, 32 and 48 pixel images of one design; the 16 and 32
        pixel images are the bytes they always were; scripts/make-icons.py writes the files
        that are checked in.
    check_release.py package --version V --out DIR --work DIR
        Runs scripts/package.sh into DIR and checks the four files: names, checksums, the
        Debian package (contents, lintian, the program's --version), the exe (version resource,
        manifest, no time stamp), the zip (exe, guides as Notepad reads them) and the MSI
        (per user, folders, shortcuts, the same exe).
    check_release.py folders
        scripts/package.sh refuses, before it builds anything and without touching them, an
        --out or --work that is a non-empty folder it did not make, a file, or one inside the
        other; a folder it made carries its mark.
    check_release.py reproducible --version V --release DIR
        Clones the checkout's commit into another directory, runs scripts/package.sh there and
        compares its four files with those in DIR, which must come from the same commit.

Exit code 1 when a tool is missing (scripts/install-deps.sh installs every one of them); 77
(skipped) for `reproducible` when the checkout has uncommitted changes (the release in DIR is
then not that of a commit).
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SKIP = 77
TOOLS = ("wixl", "msibuild", "msiinfo", "msiextract", "lintian", "dpkg-deb", "dpkg-shlibdeps",
         "wrestool", "git", "cmake", "i686-w64-mingw32-g++")


class Skip(Exception):
    pass


def check(cond, message):
    if not cond:
        raise AssertionError(message)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def need_tools():
    missing = [t for t in TOOLS if not shutil.which(t)]
    if missing:
        # Not a fact of the host: the test command installs them, so their absence fails.
        raise AssertionError(f"not installed: {', '.join(missing)} (scripts/install-deps.sh "
                             "installs them)")


# -- icons -------------------------------------------------------------------------------------

ICONS = {  # file, background (palette index), SHA-256 of the 32 and the 16 pixel image
    "idle.ico": (12, "561b3df9c35bd8df81ee87c6b5d20e93872dbbc67c8d6da730e56aec40ffc372",
                 "89a4d63599f9e903ae6288c69ef351ceed5b80cd8b8b4e7f7a391af38fa23333"),
    "mail.ico": (11, "2b5bd2e8ee0377a9a57659b735a53d0230d94608d39e0ee127f369c73badaa98",
                 "199c8c04f1a55d89e3ca98bd0b2fe3f13e1acfed3dcae40c5d0f4f0bbe79a37f"),
    "manymail.ico": (9, "82f6281bba950a39426983076eefb01831d1d752f6faa5f2f468bd77b899d0c4",
                     "d301139f833bbc4ebdc5825c4af79940dfb21fe082fd882c77c0c1e851edd495"),
    "busy.ico": (13, "69aad51c14483fea9a5ed7d4d0b535367fe09ab93a5053f6fa7465b8354be12b",
                 "550652111486e6fe00fd16a2cc1a59a11e21cef0f0f607eee0e950d7687db060"),
}
BLACK, GREEN, WHITE = 0, 2, 15


def icon_images(data):
    """{size: image bytes} of an .ico file."""
    reserved, kind, count = struct.unpack_from("<HHH", data)
    check(reserved == 0 and kind == 1, "not an icon file")
    images = {}
    for i in range(count):
        w, h, colours, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        check(w == h and colours == 16 and planes == 1 and bits == 4, f"entry {i}: {w}x{h} {bits} bit")
        check(offset + size <= len(data), f"entry {i} runs past the file")
        images[w] = data[offset:offset + size]
    return images


def pixels(image):
    """Rows (top first) of palette indexes of a 4-bit icon image; checks the mask is clear."""
    header, width, height2, planes, bits = struct.unpack_from("<IiiHH", image)
    check(header == 40 and height2 == 2 * width and bits == 4, "not a 4-bit image")
    stride = ((width * 4 + 31) // 32) * 4
    xor = image[40 + 64: 40 + 64 + stride * width]
    mask = image[40 + 64 + stride * width:]
    check(len(mask) == ((width + 31) // 32) * 4 * width and not any(mask), "mask not opaque")
    rows = []
    for r in range(width):
        line = xor[r * stride: r * stride + width // 2]
        rows.append([v for b in line for v in (b >> 4, b & 15)])
    return rows[::-1]


def check_icons():
    res = os.path.join(ROOT, "res")
    with tempfile.TemporaryDirectory() as tmp:
        run([sys.executable, os.path.join(ROOT, "scripts", "make-icons.py"), tmp])
        for name in ICONS:
            with open(os.path.join(tmp, name), "rb") as a, open(os.path.join(res, name), "rb") as b:
                check(a.read() == b.read(), f"res/{name} is not what scripts/make-icons.py writes")
    for name, (background, sha32, sha16) in ICONS.items():
        with open(os.path.join(res, name), "rb") as f:
            images = icon_images(f.read())
        check(sorted(images) == [16, 20, 24, 32, 48], f"{name}: sizes {sorted(images)}")
        check(hashlib.sha256(images[16]).hexdigest() == sha16, f"{name}: the 16x16 image changed")
        check(hashlib.sha256(images[32]).hexdigest() == sha32, f"{name}: the 32x32 image changed")
        for size, image in images.items():
            rows = pixels(image)
            c = size // 2
            bar = max(1, size // 24)
            where = f"{name} {size}x{size}"
            corner = GREEN if size >= 32 else background
            check(rows[0][0] == corner and rows[-1][-1] == corner, f"{where}: corner")
            check(rows[c][c] == BLACK and rows[c - 1][c - 1] == BLACK, f"{where}: the cross")
            check(rows[c + bar + 1][c + bar + 1] == WHITE, f"{where}: the diamond")
            # The cross is as wide as drawn for this size, not a stretched smaller one.
            check(sum(1 for v in rows[c + bar + 1] if v == BLACK) == 2 * bar, f"{where}: bar width")
            check(rows[0][c] == corner, f"{where}: top edge")
    print("icons: 4 files, 5 sizes each, 16 and 32 pixel images unchanged")


# -- the exe -----------------------------------------------------------------------------------

def version_node(data, at):
    """One node of a version resource: (key, value bytes, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    size = value_length * 2 if kind == 1 else value_length
    value = data[pos:pos + size]
    pos = (pos + size + 3) & ~3
    children = []
    while pos < end:
        child = version_node(data, pos)
        children.append(child)
        pos = (child[3] + 3) & ~3
    return key, value, children, end


def exe_version(exe):
    """(numeric file version, product version, {string name: value}) of an exe."""
    data = run(["wrestool", "-x", "--raw", "--type=16", exe]).stdout
    check(data, f"{exe}: no version resource")
    key, fixed, children, _ = version_node(data, 0)
    check(key == "VS_VERSION_INFO", key)
    sig, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", fixed)
    check(sig == 0xFEEF04BD, "bad VS_FIXEDFILEINFO")
    strings = {}
    for child in children:
        if child[0] == "StringFileInfo":
            for table in child[2]:
                for name, value, _, _ in table[2]:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    numbers = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return numbers(fms, fls), numbers(pms, pls), strings


def check_exe(exe, version):
    with open(exe, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    check(data[pe:pe + 4] == b"PE\0\0", "not a PE file")
    check(struct.unpack_from("<H", data, pe + 4)[0] == 0x14C, "not an i686 exe")
    check(struct.unpack_from("<I", data, pe + 8)[0] == 0, "the PE header carries a link time")
    fixed, product, strings = exe_version(exe)
    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    check(fixed == numbers and product == numbers, f"numeric version {fixed} {product}")
    expected = {"FileVersion": version, "ProductVersion": version, "ProductName": "KESTOVA Checker",
                "OriginalFilename": "KestovaChecker.exe"}
    for name, value in expected.items():
        check(strings.get(name) == value, f"version resource {name} = {strings.get(name)!r}")
    check(strings.get("FileDescription"), "no FileDescription")
    manifest = run(["wrestool", "-x", "--raw", "--type=24", exe]).stdout
    check(manifest, "no manifest")
    root = ET.fromstring(manifest)
    tags = [e.tag.split("}")[-1] for e in root.iter()]
    # With either, Windows ends registry virtualisation and a standard user's settings are lost.
    check("trustInfo" not in tags and "requestedExecutionLevel" not in tags,
          "the manifest asks for an execution level")
    check(any(e.tag.endswith("}dpiAware") and e.text.strip() == "true" for e in root.iter()),
          "not DPI aware")
    check(sum(1 for t in tags if t == "supportedOS") >= 5, "supported Windows versions")
    return strings


# -- the four files ----------------------------------------------------------------------------

def check_sums(out, names):
    with open(os.path.join(out, "SHA256SUMS")) as f:
        listed = [line.split() for line in f.read().splitlines()]
    check(sorted(n for _, n in listed) == sorted(names), f"SHA256SUMS lists {listed}")
    r = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=out, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT)
    check(r.returncode == 0, r.stdout.decode())


def check_deb(deb, version, tmp):
    listing = run(["dpkg-deb", "-c", deb]).stdout.decode()
    entries = {}
    for line in listing.splitlines():
        mode, owner, _, _, _, path = line.split(None, 5)
        entries[path.lstrip(".")] = (mode, owner)
    expected = {
        "/usr/bin/kestova": "-rwxr-xr-x",
        "/usr/lib/udev/rules.d/70-kestova-lcd.rules": "-rw-r--r--",
        "/usr/lib/systemd/user/kestova.service": "-rw-r--r--",
        "/usr/share/doc/kestova/copyright": "-rw-r--r--",
        "/usr/share/doc/kestova/changelog.gz": "-rw-r--r--",
        "/usr/share/doc/kestova/README.md.gz": "-rw-r--r--",
        "/usr/share/man/man1/kestova.1.gz": "-rw-r--r--",
    }
    for path, mode in expected.items():
        check(entries.get(path, ("", ""))[0] == mode, f"{path}: {entries.get(path)}")
    check(all(owner == "root/root" for _, owner in entries.values()), "files not owned by root")
    fields = run(["dpkg-deb", "-f", deb, "Package", "Version", "Architecture", "Depends"]).stdout
    fields = dict(l.split(": ", 1) for l in fields.decode().splitlines())
    check(fields["Package"] == "kestova" and fields["Version"] == version, fields)
    for lib in ("libc6", "libssl3", "libc-ares2", "libcurl4"):
        check(lib in fields["Depends"], f"Depends lacks {lib}: {fields['Depends']}")
    r = subprocess.run(["lintian", "--fail-on", "error", "--tag-display-limit", "0", deb],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    report = r.stdout.decode()
    errors = [l for l in report.splitlines() if l.startswith("E:")]
    check(r.returncode == 0 and not errors, "lintian:\n" + report)
    root = os.path.join(tmp, "deb")
    run(["dpkg", "-x", deb, root])
    out = run([os.path.join(root, "usr/bin/kestova"), "--version"]).stdout.decode()
    check(out.rstrip("\n").endswith(" " + version), f"kestova --version says {out!r}")
    with open(os.path.join(root, "usr/lib/systemd/user/kestova.service")) as f:
        check(re.search(r"^ExecStart=/usr/bin/kestova$", f.read(), re.M), "unit's ExecStart")
    print(f"deb: {len(entries)} entries, Depends: {fields['Depends']}; lintian: "
          f"{len(report.splitlines())} lines, no error; {out.strip()}")


def check_zip(path, version, tmp):
    folder = f"KestovaChecker-{version}/"
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        check(names == [folder + "KestovaChecker.exe", folder + "README-ja.txt",
                        folder + "README-en.txt"], names)
        exe = os.path.join(tmp, "zip-KestovaChecker.exe")
        with open(exe, "wb") as f:
            f.write(z.read(names[0]))
        for name, marker in ((names[1], "アンインストール"), (names[2], "Removing")):
            raw = z.read(name)
            check(raw.startswith(b"\xef\xbb\xbf"), f"{name}: no byte order mark")
            check(raw.count(b"\n") == raw.count(b"\r\n") and b"\r\n" in raw, f"{name}: not CR LF")
            text = raw[3:].decode("utf-8")
            check(marker in text and f"KestovaChecker-{version}.msi" in text, f"{name}: text")
            check("VERSION" not in text, f"{name}: VERSION left in")
    return exe


def msi_table(msi, table):
    out = run(["msiinfo", "export", msi, table]).stdout.decode("cp932")
    lines = out.splitlines()
    columns = lines[0].split("\t")
    return [dict(zip(columns, l.split("\t"))) for l in lines[3:]]


def check_msi(msi, version, exe, tmp):
    props = {r["Property"]: r["Value"] for r in msi_table(msi, "Property")}
    check(props.get("ProductVersion") == version, f"ProductVersion {props.get('ProductVersion')}")
    check("ALLUSERS" not in props, "ALLUSERS set: not a per-user install")
    # STARTUP comes from the command line only: without it the Startup shortcut's condition
    # asks what the installed version had, which two registry searches find.
    check("STARTUP" not in props, "STARTUP has a value in the Property table")
    searches = {r["Property"]: r["Signature_"] for r in msi_table(msi, "AppSearch")}
    locators = {r["Signature_"]: (r["Root"], r["Key"], r["Name"])
                for r in msi_table(msi, "RegLocator")}
    found = {p: locators.get(s) for p, s in searches.items()}
    check(found == {"KESTOVAINSTALLED": ("1", "Software\\KESTOVA Checker", "Program"),
                    "STARTUPINSTALLED": ("1", "Software\\KESTOVA Checker", "StartupShortcut")},
          f"registry searches {found}")
    summary = run(["msiinfo", "suminfo", msi]).stdout.decode()
    word = int(re.search(r"^Source: (\d+)", summary, re.M).group(1))
    check(word & 8, "the package asks for elevation")
    dirs = {r["Directory"]: r for r in msi_table(msi, "Directory")}
    chain = []  # (directory, its name), from the install folder up
    d = "INSTALLDIR"
    while d in dirs and dirs[d]["Directory_Parent"]:
        chain.append((d, dirs[d]["DefaultDir"]))
        d = dirs[d]["Directory_Parent"]
    names = [name for _, name in chain[:-1]]
    check(d == "TARGETDIR" and chain and chain[-1][0] == "LocalAppDataFolder"
          and names == ["KESTOVA", "Programs"], f"install folder {chain}")
    components = {r["Component"]: r for r in msi_table(msi, "Component")}
    check(components["StartupShortcut"]["Condition"] ==
          'STARTUP <> "0" AND (STARTUP OR NOT KESTOVAINSTALLED OR STARTUPINSTALLED)',
          f"Startup condition {components['StartupShortcut']['Condition']}")
    shortcuts = {r["Directory_"]: r["Target"] for r in msi_table(msi, "Shortcut")}
    check(shortcuts == {"ProgramMenuFolder": "[INSTALLDIR]KestovaChecker.exe",
                        "StartupFolder": "[INSTALLDIR]KestovaChecker.exe"}, shortcuts)
    check(not msi_table(msi, "Registry") or all(
        r["Root"] == "1" and "KESTOVA Checker" in r["Key"] for r in msi_table(msi, "Registry")),
        "the installer writes the registry outside its own key")
    where = os.path.join(tmp, "msi")
    run(["msiextract", "-C", where, msi])
    found = [os.path.join(d, n) for d, _, files in os.walk(where) for n in files]
    check(len(found) == 1 and found[0].endswith("KestovaChecker.exe"), found)
    with open(found[0], "rb") as a, open(exe, "rb") as b:
        check(a.read() == b.read(), "the MSI's exe is not the zip's")
    print(f"msi: ProductCode {props['ProductCode']}, per user, shortcuts in "
          f"{', '.join(sorted(shortcuts))}")


def release_names(version):
    return [f"KestovaChecker-{version}.msi", f"KestovaChecker-{version}-windows.zip",
            f"kestova_{version}_amd64.deb"]


def package(out, work, extra_env=None, cwd=ROOT):
    env = dict(os.environ)
    env.pop("SOURCE_DATE_EPOCH", None)
    env.update(extra_env or {})
    r = subprocess.run(["bash", os.path.join(cwd, "scripts", "package.sh"), "--out", out,
                        "--work", work], cwd=cwd, env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT)
    log = r.stdout.decode("utf-8", "replace")
    print(log[-3000:])
    check(r.returncode == 0, f"package.sh failed ({r.returncode})")


MARK = ".kestova-package"


def check_folders():
    with tempfile.TemporaryDirectory() as tmp:
        precious = os.path.join(tmp, "home")
        os.makedirs(os.path.join(precious, "docs"))
        thesis = os.path.join(precious, "docs", "thesis.txt")
        with open(thesis, "w") as f:
            f.write("years of work\n")

        def snapshot():
            return sorted((os.path.relpath(os.path.join(d, n), tmp), os.path.getsize(os.path.join(d, n)))
                          for d, _, files in os.walk(precious) for n in files)

        before = snapshot()
        work = os.path.join(tmp, "work")
        out = os.path.join(tmp, "out")
        cases = [
            ("--out a folder of the user", ["--out", precious, "--work", work],
             f"--out {precious} is not empty and was not made by package.sh"),
            ("--work a folder of the user", ["--out", out, "--work", precious],
             f"--work {precious} is not empty and was not made by package.sh"),
            ("--out a file", ["--out", thesis, "--work", work], "is not a folder"),
            ("--out inside --work", ["--out", os.path.join(work, "o"), "--work", work],
             "lies in --work"),
            ("--work inside --out", ["--out", precious, "--work", os.path.join(precious, "w")],
             "lies in --out"),
            ("--out the same as --work", ["--out", work, "--work", work], "lies in --work"),
            ("--out without its folder", ["--out"], "--out needs a folder"),
        ]
        for what, argv, says in cases:
            r = subprocess.run(["bash", os.path.join(ROOT, "scripts", "package.sh"), *argv],
                               cwd=tmp, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               timeout=120)
            err = r.stderr.decode("utf-8", "replace")
            check(r.returncode == 2, f"{what}: exit code {r.returncode}, not 2\n{err}")
            check(says in err, f"{what}: the refusal does not say {says!r}:\n{err}")
            check(snapshot() == before, f"{what}: the user's folder changed: {snapshot()}")
            check(not os.path.exists(os.path.join(work, "win32")), f"{what}: a build started")
        # The folder it made for --work before it refused --out carries its mark and no more.
        check(sorted(os.listdir(work)) == [MARK], f"--work holds {os.listdir(work)}")
        print(f"folders: {len(cases)} refusals, the user's files untouched")


def check_package(args):
    need_tools()
    if os.uname().machine != "x86_64":
        raise Skip("the Debian package is for amd64")
    # The test's own folders in the build tree, from a run of a version that did not mark them.
    for folder in (args.out, args.work):
        if os.path.isdir(folder) and not os.path.exists(os.path.join(folder, MARK)):
            shutil.rmtree(folder)
    package(args.out, args.work)
    names = release_names(args.version)
    check(os.path.isfile(os.path.join(args.out, MARK)), "the release folder carries no mark")
    check(sorted(n for n in os.listdir(args.out) if n != MARK) == sorted(names + ["SHA256SUMS"]),
          f"build/release holds {sorted(os.listdir(args.out))}")
    check_sums(args.out, names)
    with tempfile.TemporaryDirectory() as tmp:
        check_deb(os.path.join(args.out, names[2]), args.version, tmp)
        exe = check_zip(os.path.join(args.out, names[1]), args.version, tmp)
        strings = check_exe(exe, args.version)
        print(f"exe: version resource {strings['FileVersion']}, manifest without execution level")
        check_msi(os.path.join(args.out, names[0]), args.version, exe, tmp)


def check_reproducible(args):
    need_tools()
    status = run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"]).stdout
    if status.strip():
        raise Skip("the checkout has uncommitted changes: its release is not that of a commit")
    names = release_names(args.version)
    for name in names:
        check(os.path.exists(os.path.join(args.release, name)), f"no {name} to compare with")
    tmp = tempfile.mkdtemp(prefix="kc-repro-")
    try:
        # Another place with a path of another length, another build tree name, another time.
        clone = os.path.join(tmp, "elsewhere", "a-checkout-with-a-longer-name")
        commit = run(["git", "-C", ROOT, "rev-parse", "HEAD"]).stdout.decode().strip()
        run(["git", "clone", "--quiet", "--no-hardlinks", "--no-checkout", ROOT, clone])
        run(["git", "-C", clone, "checkout", "--quiet", "--detach", commit])
        out = os.path.join(tmp, "release")
        package(out, os.path.join(tmp, "work-tree"), cwd=clone)
        differ = []
        for name in names:
            with open(os.path.join(args.release, name), "rb") as a, \
                 open(os.path.join(out, name), "rb") as b:
                if a.read() != b.read():
                    differ.append(name)
        check(not differ, f"not the same bytes: {', '.join(differ)}")
        print(f"reproducible: {', '.join(names)} the same from {clone}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    sub = p.add_subparsers(dest="what", required=True)
    sub.add_parser("icons")
    sub.add_parser("folders")
    pp = sub.add_parser("package")
    pp.add_argument("--version", required=True)
    pp.add_argument("--out", required=True)
    pp.add_argument("--work", required=True)
    pr = sub.add_parser("reproducible")
    pr.add_argument("--version", required=True)
    pr.add_argument("--release", required=True)
    args = p.parse_args()
    try:
        {"icons": lambda: check_icons(), "folders": lambda: check_folders(), "package": lambda: check_package(args),
         "reproducible": lambda: check_reproducible(args)}[args.what]()
    except Skip as e:
        print(f"SKIPPED: {e}")
        return SKIP
    except AssertionError as e:
        print(f"FAILED: {e}")
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The tray icon at 144 dpi (150 % scaling) under Wine: the program asks for the icon size the
system gives (SM_CXSMICON, 24 at 144 dpi) and the notification area shows that image as drawn,
not the 16 x 16 one stretched. Saves the screenshot, the tray enlarged four times.

    tray_dpi.py --exe32 build/win32/KestovaChecker.exe --exe64 build/win64/KestovaChecker.exe
                --artifacts DIR [--out docs/screenshots]

Wine's own copy of a tray icon loses the mask of the last rows when the width is not a multiple
of 16 (its systray takes the mask's size as if rows were not padded): at 24 pixels an 8 x 6 patch
at the bottom may be drawn inverted (yellow on the blue icon). The icon's own bits are whole
(the test reads the bars and the size, which that patch leaves alone).

Runs the i686 exe where the host runs 32-bit programs, else the x86_64 exe (same resources and
the same tray code). Exit code 77 (skipped) without a built exe; 1 without Wine, Xvfb or
xdotool (scripts/install-deps.sh installs them).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_msi_wine as msi  # noqa: E402  (its Wine prefix, and tests/wine/harness.py)

harness = msi.harness
DPI = 144
ICON = 24  # SM_CXSMICON at 144 dpi


def rows_of(png):
    """The picture as rows of (r, g, b)."""
    size = subprocess.run(["identify", "-format", "%w %h", png], check=True,
                          stdout=subprocess.PIPE).stdout.split()
    w, h = int(size[0]), int(size[1])
    raw = subprocess.run(["convert", png, "-depth", "8", "rgb:-"], check=True,
                         stdout=subprocess.PIPE).stdout
    return [[tuple(raw[(y * w + x) * 3:(y * w + x) * 3 + 3]) for x in range(w)] for y in range(h)]


def check_sharp(rows):
    """The idle icon (blue, white diamond, black cross) at its own 24 pixels: the cross's bars
    two pixels wide and 22 long, as drawn for 24; a 16 x 16 image stretched to 24 would give
    bars of three pixels, or blurred ones of mixed colours."""
    black = (0, 0, 0)
    blue = [(x, y) for y, row in enumerate(rows) for x, p in enumerate(row) if p == (0, 0, 255)]
    msi.check(blue, "no blue icon in the tray")
    left, right = min(x for x, _ in blue), max(x for x, _ in blue)
    top, bottom = min(y for _, y in blue), max(y for _, y in blue)
    msi.check((right - left + 1, bottom - top + 1) == (ICON, ICON),
              f"the icon is {right - left + 1} x {bottom - top + 1} pixels, not {ICON} x {ICON}")
    box = [row[left:right + 1] for row in rows[top:bottom + 1]]
    bar_rows = [y for y, row in enumerate(box) if sum(p == black for p in row) >= ICON - 4]
    bar_cols = [x for x in range(ICON) if sum(row[x] == black for row in box) >= ICON - 4]
    msi.check(len(bar_rows) == 2 and len(bar_cols) == 2,
              f"cross bars {len(bar_rows)} rows and {len(bar_cols)} columns wide, not 2")
    length = sum(p == black for p in box[bar_rows[0]])
    msi.check(length == ICON - 2, f"the cross's bar is {length} pixels long, not {ICON - 2}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--exe32", required=True)
    p.add_argument("--exe64", required=True)
    p.add_argument("--artifacts", required=True)
    p.add_argument("--out", help="also copy the screenshot here (docs/screenshots)")
    args = p.parse_args()
    tmp = tempfile.mkdtemp(prefix="kc-dpi-")
    prefix = display = program = None
    try:
        msi.missing_tools("wineserver", "Xvfb", "xdotool", "import", "convert")
        exe = args.exe32 if msi.runs_32bit() else args.exe64
        if not os.path.exists(exe):
            raise msi.Skip(f"no {exe} (build its preset first)")
        prefix = msi.Prefix(os.path.join(tmp, "prefix"))
        prefix.make()
        # The screen's scaling, where Windows keeps it, and where Wine reads it at start.
        for key in (r"HKCU\Control Panel\Desktop",
                    r"HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts"):
            prefix.run("reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(DPI), "/f")
        # The dialog's font, as the Wine suite maps it (same metrics as on Windows).
        prefix.run("reg", "add", r"HKCU\Software\Wine\Fonts\Replacements", "/v",
                   "ＭＳ Ｐゴシック", "/t", "REG_SZ", "/d", "IPAPGothic", "/f")
        prefix.wait()
        display = argparse.Namespace()
        harness.Env._start_xvfb(display)
        env = dict(prefix.env, DISPLAY=display.display)
        program = subprocess.Popen(prefix.wine + [os.path.abspath(exe)], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tray = []
        deadline = time.time() + 60
        while not tray and time.time() < deadline:
            time.sleep(1)
            tray = subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                                   "Wine System Tray"], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL).stdout.split()
        msi.check(tray, "no tray window within 60 s")
        # Where a taskbar's notification area is, clear of the settings dialog (top left). No
        # window manager runs: the tray window is a bare row of icons.
        subprocess.run(["xdotool", "windowmove", tray[0], "700", "700"], env=env, check=True)
        time.sleep(2)
        geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", tray[0]], env=env,
                                  stdout=subprocess.PIPE, check=True).stdout.decode()
        g = dict(line.split("=") for line in geometry.split())
        os.makedirs(args.artifacts, exist_ok=True)
        full = os.path.join(args.artifacts, "screen-144dpi.png")
        subprocess.run(["import", "-display", display.display, "-window", "root", full], check=True)
        crop = os.path.join(tmp, "tray.png")
        subprocess.run(["convert", full, "-crop", f"{g['WIDTH']}x{g['HEIGHT']}+{g['X']}+{g['Y']}",
                        "+repage", crop], check=True)
        shot = os.path.join(args.artifacts, "tray-icon-144dpi.png")
        subprocess.run(["convert", crop, "-crop", "48x" + g["HEIGHT"] + "+0+0", "+repage",
                        "-filter", "point", "-resize", "400%", shot], check=True)
        check_sharp(rows_of(crop))
        if args.out:
            shutil.copy2(shot, os.path.join(args.out, "tray-icon-144dpi.png"))
        harness.log(f"{os.path.basename(os.path.dirname(os.path.abspath(exe)))} exe at {DPI} dpi: "
                    f"tray icon {ICON} x {ICON}, drawn at its size; {shot}")
    except msi.Skip as e:
        print(f"SKIPPED: {e}")
        return msi.SKIP
    except AssertionError as e:
        print(f"FAILED: {e}")
        return 1
    finally:
        if program:
            program.kill()
        if prefix:
            prefix.stop()
        if display and display.xvfb:
            display.xvfb.kill()
        shutil.rmtree(tmp, ignore_errors=True)
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())

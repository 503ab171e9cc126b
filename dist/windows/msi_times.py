#!/usr/bin/env python3
"""Sets the two times in an MSI's summary information (created, last saved) to a given Unix
time. wixl writes the time of its run there, and nothing else of the file depends on the time
once the cabinet's files are dated; this makes two builds of the same inputs the same.

    msi_times.py FILE.msi SECONDS

An MSI is an OLE compound file: the summary is the stream "\\x05SummaryInformation", small
enough to live in the mini stream. The stream's bytes are located through the allocation
tables and the two FILETIME values (property 12 and 13) are overwritten in place.
"""
import struct
import sys

END_OF_CHAIN = 0xFFFFFFFE
VT_FILETIME = 0x40
CREATED, SAVED = 12, 13


def chain(table, start):
    out, sid = [], start
    while sid < 0xFFFFFFFA:
        out.append(sid)
        if len(out) > len(table):
            raise ValueError("looping sector chain")
        sid = table[sid]
    return out


def main(path, seconds):
    data = bytearray(open(path, "rb").read())
    if data[:8] != b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1":
        raise SystemExit(f"{path}: not a compound file")
    shift, mini_shift = struct.unpack_from("<HH", data, 0x1E)
    sector = 1 << shift
    mini = 1 << mini_shift
    n_fat, first_dir = struct.unpack_from("<II", data, 0x2C)
    cutoff, first_minifat, n_minifat, first_difat, n_difat = struct.unpack_from("<IIIII", data, 0x38)

    def at(sid):
        return (sid + 1) * sector

    fat_sectors = list(struct.unpack_from("<109I", data, 0x4C))
    sid = first_difat
    for _ in range(n_difat):
        entries = struct.unpack_from(f"<{sector // 4}I", data, at(sid))
        fat_sectors += entries[:-1]
        sid = entries[-1]
    fat = []
    for sid in fat_sectors[:n_fat]:
        fat += struct.unpack_from(f"<{sector // 4}I", data, at(sid))
    minifat = []
    for sid in chain(fat, first_minifat) if n_minifat else []:
        minifat += struct.unpack_from(f"<{sector // 4}I", data, at(sid))

    entries = []
    for sid in chain(fat, first_dir):
        for i in range(sector // 128):
            entries.append(data[at(sid) + i * 128: at(sid) + (i + 1) * 128])
    root_start = struct.unpack_from("<I", entries[0], 0x74)[0]
    mini_stream = [at(s) + k for s in chain(fat, root_start) for k in range(0, sector, mini)]

    wanted = "\x05SummaryInformation"
    for e in entries:
        length = struct.unpack_from("<H", e, 0x40)[0]
        if length >= 2 and e[:length - 2].decode("utf-16-le") == wanted:
            start, size = struct.unpack_from("<II", e, 0x74)
            break
    else:
        raise SystemExit(f"{path}: no summary information")
    # The file offset of every byte of the stream.
    if size < cutoff:
        where = [mini_stream[s] + k for s in chain(minifat, start) for k in range(mini)]
    else:
        where = [at(s) + k for s in chain(fat, start) for k in range(sector)]
    where = where[:size]
    stream = bytes(data[o] for o in where)

    section = struct.unpack_from("<I", stream, 44)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    filetime = (seconds + 11644473600) * 10_000_000
    done = 0
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        if pid in (CREATED, SAVED):
            value_at = section + offset
            if struct.unpack_from("<I", stream, value_at)[0] != VT_FILETIME:
                raise SystemExit(f"{path}: property {pid} is not a time")
            for k, b in enumerate(struct.pack("<Q", filetime)):
                data[where[value_at + 4 + k]] = b
            done += 1
    if done != 2:
        raise SystemExit(f"{path}: found {done} of the two times")
    open(path, "wb").write(data)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))

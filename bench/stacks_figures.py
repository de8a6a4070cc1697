"""Figures of one recorded run for bench/stacks, from kiv's tables or from
heaptrack_print's text: allocation calls, leaked bytes, peak bytes and the
top 5 functions by leaked bytes and by allocation calls (each stack counted
for its first named frame: the function that called the allocator, or the
nearest one to it that has a name).

    stacks_figures.py kiv RUN_DIR          # after kiv -R: kiv.<id>.*.csv
    stacks_figures.py heaptrack PRINT_TXT  # heaptrack_print -a -l -n 5 output
"""
import collections
import glob
import re
import sys

TAG, REC, LOCATION, SIZE = 3, 4, 18, 24


def first_function(stack):
    """The function of a stack text's first named frame (frames known only
    as object+0x1234 are passed over), else its first frame."""
    frames = stack.split(" < ")
    for frame in frames:
        if " [" in frame:
            return frame.split(" [", 1)[0].split(" (", 1)[0]
    return frames[0]


def rows(run_dir, table):
    for name in sorted(glob.glob(f"{run_dir}/kiv.*.{table}.*.csv")):
        with open(name, encoding="latin-1") as f:
            for line in f:
                yield line.rstrip("\n").split(";")


def kiv_figures(run_dir):
    texts = {(r[1], r[2]): r[3] for r in rows(run_dir, "hashloc") if len(r) >= 4}
    freed = {(r[1], r[2]) for r in rows(run_dir, "freemem") if len(r) == 5}
    calls = collections.Counter()
    leaked = collections.Counter()
    peak = collections.Counter()  # per header
    total_calls = leaked_bytes = 0
    global_at = None
    for r in rows(run_dir, "memory"):
        if global_at is None:
            global_at = r.index("global")
        pid = r[1]
        peak[pid] = max(peak[pid], int(r[global_at + 4]))
        if r[TAG] not in ("a", "r"):
            continue
        function = first_function(texts.get((pid, r[LOCATION]), "(unnamed)"))
        total_calls += 1
        calls[function] += 1
        if (pid, r[REC]) not in freed:
            leaked[function] += int(r[SIZE])
            leaked_bytes += int(r[SIZE])
    return total_calls, leaked_bytes, max(peak.values(), default=0), leaked, calls


SUFFIXES = {"": 1, "B": 1, "K": 1e3, "M": 1e6, "G": 1e9}


def size_of(text):
    number, unit = re.fullmatch(r"([\d.]+)([KMG]?)B?", text).groups()
    return int(float(number) * SUFFIXES[unit])


def heaptrack_figures(text_file):
    with open(text_file, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    section = None
    calls = collections.Counter()
    leaked = collections.Counter()
    total_calls = leaked_bytes = peak = 0
    for i, line in enumerate(lines):
        if line.startswith("MOST CALLS TO ALLOCATION FUNCTIONS"):
            section = calls
        elif line.startswith("MEMORY LEAKS"):
            section = leaked
        elif line.startswith(("PEAK MEMORY CONSUMERS", "MOST TEMPORARY")):
            section = None
        elif section is not None and line.endswith(" from") and not line.startswith(" "):
            amount = line.split()[0]
            section[lines[i + 1].strip()] += int(amount) if section is calls else size_of(amount)
        if m := re.match(r"calls to allocation functions: (\d+)", line):
            total_calls = int(m.group(1))
        elif m := re.match(r"peak heap memory consumption: (\S+)", line):
            peak = size_of(m.group(1))
        elif m := re.match(r"total memory leaked: (\S+)", line):
            leaked_bytes = size_of(m.group(1))
    return total_calls, leaked_bytes, peak, leaked, calls


def main():
    kind, source = sys.argv[1], sys.argv[2]
    total_calls, leaked_bytes, peak, leaked, calls = (
        kiv_figures(source) if kind == "kiv" else heaptrack_figures(source))
    print(f"  allocation calls {total_calls}, leaked {leaked_bytes} bytes, peak {peak} bytes")
    print("  top leaks:       " + "; ".join(f"{f} {n}" for f, n in leaked.most_common(5)))
    print("  top allocations: " + "; ".join(f"{f} {n}" for f, n in calls.most_common(5)))


main()

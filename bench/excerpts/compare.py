#!/usr/bin/env python3
"""Times korvid-excerpt against the peer tools on the same files, in the same
run, the two run alternately (process start included on both sides), and
prints the ratio ours / peer per file and per group, of the median wall time
and of the median CPU time; --instructions adds callgrind's instruction
counts, the figure to trust on a busy machine. For images it also scores the
recognised text of both against the ground truth.

    compare.py KORVID_EXCERPT [--corpus DIR] [--runs N] [--groups docx,xlsx,pdf,images,text]
               [--files NAME,...] [--json OUT] [--instructions] [--earlier OTHER_KORVID_EXCERPT]
               [--floor MINIMAL_POPPLER_TEXT]

--files keeps only the named corpus files (e.g. images/chinese.jpg); --json
also writes the figures, per file and per group, for scripts/bench.sh.
--earlier runs a second build of the tool (say, before a change) in the same
alternation, so that before and after are measured under the same load.
--floor names the minimal poppler-cpp program (bench/excerpts/MinimalPopplerText.cpp),
by default minimal-poppler-text beside the tool when it is there: for PDFs it
runs in the same alternation, and the report adds ours / minimal and
minimal / pdftotext, which tell our own cost from poppler-cpp's.

Build korvid-excerpt in Release for meaningful figures."""
import argparse
import difflib
import json
import math
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

GROUPS = {
    # group: (peer command template, target ratio, files)
    "docx": ("docx2txt {f} -", 0.5, [
        "docx/test11.docx", "docx/test04.docx", "docx/test15.docx", "docx/bigfile-01.docx", "docx/test07.docx",
        "docx/test16.docx", "docx/blk-paras-and-tables.docx", "docx/strict-format.docx"]),
    "xlsx": ("xlsx2csv {f}", 0.5, [
        "xlsx/any_sheets.xlsx", "xlsx/issue574.xlsx", "xlsx/v3.xlsx", "xlsx/inlineStrings.xlsx", "xlsx/issue446.xlsx",
        "xlsx/testcelltypes.xlsx", "xlsx/richtext-namespaced.xlsx", "xlsx/strict_iso_paths.xlsx", "xlsx/issue_174.xlsx"]),
    "pdf": ("pdftotext -l 6 {f} -", 1.0, [
        "pdf/GeoBase_NHNC1_Data_Model_UML_EN.pdf", "pdf/tracemonkey.pdf", "pdf/Seige_of_Vicksburg_Sample_OCR.pdf",
        "pdf/indirect-rotation.pdf", "pdf/issue-914-xmp-data.pdf", "pdf/multilang.pdf", "pdf/two_paragraphs.pdf"]),
    "images": ("tesseract {f} - -l chi_sim+eng", 1.0, [
        "images/phototest.png", "images/eurotext.png", "images/phototest-exif-orient8.jpg",
        "images/phototest-exif-orient3.jpg", "images/chinese.jpg"]),
    "text": ("sha256sum {f}", 1.2, ["@15MiB"]),
}

TRUTH = {
    "images/phototest.png": "phototest.txt",
    "images/phototest-exif-orient8.jpg": "phototest.txt",
    "images/phototest-exif-orient3.jpg": "phototest.txt",
    "images/eurotext.png": "eurotext.txt",
    "images/scan-8087_054.png": "8087_054.3B.txt",
}


def median_seconds(commands, runs):
    """Runs the commands alternately, one warm-up round first, so that a
    change in the machine's load falls on both sides alike. Returns the
    median wall time and the median CPU time (user + system) of each."""
    wall = [[] for _ in commands]
    cpu = [[] for _ in commands]
    for round_ in range(runs + 1):
        for i, command in enumerate(commands):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            subprocess.run(command.split(), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            elapsed = time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            if round_:
                wall[i].append(elapsed)
                cpu[i].append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    return [statistics.median(w) for w in wall], [statistics.median(c) for c in cpu]


def instructions(command):
    """Instructions the process executes, counted by callgrind: steady under
    load where wall time is not. Valgrind hides some CPU features (SHA
    extensions), so digest work counts more than it costs."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        result = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command.split()],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        for line in result.stderr.splitlines():
            if "Collected :" in line:
                return int(line.split(":")[-1].strip())
    return None


def geomean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else 0.0


def words(text):
    return " ".join(text.split())


def accuracy(text, truth):
    """Character similarity of the texts with white space normalised, 0..1."""
    return difflib.SequenceMatcher(None, words(text), words(truth), autojunk=False).ratio()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("korvid_excerpt")
    parser.add_argument("--corpus", default="/work/shared/corpus")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--groups", default="docx,xlsx,pdf,images,text")
    parser.add_argument("--files", default="")
    parser.add_argument("--json", default="")
    parser.add_argument("--instructions", action="store_true",
                        help="also count both sides' instructions with callgrind")
    parser.add_argument("--earlier", default="",
                        help="another build of korvid-excerpt to time in the same alternation")
    parser.add_argument("--floor", default=None,
                        help="the minimal poppler-cpp program to time beside the PDFs ('' for none)")
    args = parser.parse_args()
    ours = os.path.abspath(args.korvid_excerpt)
    earlier = os.path.abspath(args.earlier) if args.earlier else ""
    floor = args.floor
    if floor is None:
        beside = os.path.join(os.path.dirname(ours), "minimal-poppler-text")
        floor = beside if os.access(beside, os.X_OK) else ""
    floor = os.path.abspath(floor) if floor else ""

    scratch = tempfile.mkdtemp()
    big = os.path.join(scratch, "fifteen.txt")
    with open(big, "wb") as f:
        line = ("销售活动资料 sales material 0123456789 " * 3).encode() + b"\n"
        size = 15728640
        body = line * (size // len(line))
        # Padded with ASCII so that the file is exactly 15 MiB of valid UTF-8.
        f.write(body + b"x" * (size - len(body)))

    failed = False
    wanted = set(filter(None, args.files.split(",")))
    report = {}
    for group in args.groups.split(","):
        peer, target, files = GROUPS[group]
        if wanted:
            files = [name for name in files if name in wanted]
            if not files:
                continue
        ratios = []
        rows = []
        print(f"== {group}: ours / `{peer.format(f='F')}` (target <= {target})")
        for name in files:
            path = big if name == "@15MiB" else os.path.join(args.corpus, name)
            runs = max(3, args.runs // 3) if group == "images" else args.runs
            commands = [f"{ours} {path}", peer.format(f=path)] + ([f"{earlier} {path}"] if earlier else [])
            with_floor = bool(floor) and group == "pdf"
            if with_floor:
                commands.append(f"{floor} {path}")
            walls, cpus = median_seconds(commands, runs)
            (a, b), (ca, cb) = walls[:2], cpus[:2]
            ratio = a / b
            ratios.append(ratio)
            row = {"file": name, "ours": a, "peer": b, "ratio": ratio, "oursCpu": ca, "peerCpu": cb}
            line = (f"  {name:45s} ours {a * 1000:9.1f} ms  peer {b * 1000:9.1f} ms  ratio {ratio:5.2f}"
                    f"  cpu {ca * 1000:7.1f} / {cb * 1000:7.1f} ms ({ca / cb if cb else 0:4.2f})")
            if earlier:
                row.update(earlier=walls[2], earlierCpu=cpus[2], earlierRatio=walls[2] / b)
                line += (f"\n  {'':45s} earlier {walls[2] * 1000:6.1f} ms{'':19s}ratio {walls[2] / b:5.2f}"
                         f"  cpu {cpus[2] * 1000:7.1f} ms ({cpus[2] / cb if cb else 0:4.2f})")
            if with_floor:
                cf, wf = cpus[-1], walls[-1]
                row.update(floor=wf, floorCpu=cf)
                line += (f"\n  {'':45s} minimal {wf * 1000:6.1f} ms  ours/minimal {a / wf:5.2f}"
                         f" (cpu {ca / cf if cf else 0:4.2f})  minimal/peer {wf / b:5.2f}"
                         f" (cpu {cf / cb if cb else 0:4.2f})")
            if args.instructions:
                ia, ib = instructions(f"{ours} {path}"), instructions(peer.format(f=path))
                if ia and ib:
                    row.update(oursInstructions=ia, peerInstructions=ib)
                    line += f"  instructions {ia / 1e6:8.1f} M / {ib / 1e6:8.1f} M ({ia / ib:4.2f})"
                    if earlier:
                        ie = instructions(f"{earlier} {path}")
                        if ie:
                            row.update(earlierInstructions=ie)
                            line += f", earlier {ie / 1e6:8.1f} M ({ie / ib:4.2f})"
                    if with_floor:
                        i_f = instructions(f"{floor} {path}")
                        if i_f:
                            row.update(floorInstructions=i_f)
                            line += f", minimal {i_f / 1e6:8.1f} M (ours/minimal {ia / i_f:4.2f}, minimal/peer {i_f / ib:4.2f})"
            rows.append(row)
            if group == "images" and name in TRUTH:
                truth = open(os.path.join(args.corpus, "groundtruth", TRUTH[name]), encoding="utf-8").read()
                mine = json.loads(subprocess.run([ours, path], capture_output=True, text=True).stdout)["excerpt"]
                theirs = subprocess.run(peer.format(f=path).split(), capture_output=True, text=True).stdout
                line += f"  accuracy ours {accuracy(mine, truth):.3f} peer {accuracy(theirs, truth):.3f}"
            print(line)
        mean = math.exp(sum(math.log(r) for r in ratios) / len(ratios))
        verdict = "meets" if mean <= target else "MISSES"
        failed |= mean > target
        print(f"  geometric mean ratio {mean:.2f} ({verdict} {target}),"
              f" CPU time {geomean([r['oursCpu'] / r['peerCpu'] for r in rows if r['peerCpu']]):.2f}")
        report[group] = {"peer": peer.format(f="F"), "target": target, "files": rows, "geomean": mean,
                         "cpuGeomean": geomean([r["oursCpu"] / r["peerCpu"] for r in rows if r["peerCpu"]])}
        if all("oursInstructions" in r for r in rows):
            report[group]["instructionsGeomean"] = geomean([r["oursInstructions"] / r["peerInstructions"] for r in rows])
            print(f"  geometric mean instructions ratio {report[group]['instructionsGeomean']:.2f}")
        if rows and all("floor" in r for r in rows):
            # ours / minimal poppler-cpp program is the part we can act on;
            # minimal / pdftotext is what poppler-cpp costs over poppler's
            # internal classes, the floor for any program on the public API.
            floors = report[group]["floor"] = {
                "oursGeomean": geomean([r["ours"] / r["floor"] for r in rows]),
                "oursCpuGeomean": geomean([r["oursCpu"] / r["floorCpu"] for r in rows if r["floorCpu"]]),
                "peerGeomean": geomean([r["floor"] / r["peer"] for r in rows]),
                "peerCpuGeomean": geomean([r["floorCpu"] / r["peerCpu"] for r in rows if r["peerCpu"]]),
            }
            if all("floorInstructions" in r and "oursInstructions" in r for r in rows):
                floors["oursInstructionsGeomean"] = geomean([r["oursInstructions"] / r["floorInstructions"] for r in rows])
                floors["peerInstructionsGeomean"] = geomean([r["floorInstructions"] / r["peerInstructions"] for r in rows])
            line = (f"  geometric mean ours/minimal {floors['oursGeomean']:.2f} (CPU {floors['oursCpuGeomean']:.2f}"
                    + (f", instructions {floors['oursInstructionsGeomean']:.2f}" if "oursInstructionsGeomean" in floors else "")
                    + f"), minimal/peer {floors['peerGeomean']:.2f} (CPU {floors['peerCpuGeomean']:.2f}"
                    + (f", instructions {floors['peerInstructionsGeomean']:.2f}" if "peerInstructionsGeomean" in floors else "")
                    + ")")
            print(line)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out)
    os.remove(big)
    os.rmdir(scratch)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

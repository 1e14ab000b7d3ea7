"""Line and branch coverage of the module's sources from a coverage build's
counts, per file and per folder, with an HTML report; fails below the
floors.

    python scripts/coverage-report.py BUILD_DIR HTML_DIR LINE_FLOOR BRANCH_FLOOR
    (COVERAGE_ROOT=CHECKOUT for a build of another checkout's sources)

Branches are counted as gcovr counts them with --exclude-throw-branches
(the paths C++ takes when an exception is thrown) and
--exclude-unreachable-branches (branches on lines without code); lines
marked GCOVR_EXCL_LINE in the sources, each with its reason beside it, are
left out.  Only the module's sources are counted: the failure injection
of the test-only build lives with the tests (tests/injection).
"""
import collections
import json
import os
import pathlib
import subprocess
import sys

# The checkout whose sources were built: this one, or another's
# (COVERAGE_ROOT), to compare.
ROOT = pathlib.Path(os.environ.get("COVERAGE_ROOT") or pathlib.Path(__file__).resolve().parent.parent)
SOURCES = "src/velmora/pipeline/patch_eus/"


def gcovr(build_dir, *options):
    return subprocess.run(
        [sys.executable, "-m", "gcovr", "--root", str(ROOT), "--object-directory", build_dir,
         "--filter", f"{ROOT / SOURCES}",
         "--exclude-throw-branches",
         "--exclude-unreachable-branches", *options, build_dir],
        check=True, capture_output=True, text=True).stdout


def percent(covered, total):
    return 100.0 * covered / total if total else 100.0


def main():
    build_dir, html_dir, line_floor, branch_floor = sys.argv[1:5]
    summary = json.loads(gcovr(build_dir, "--json-summary", "-"))
    html = pathlib.Path(html_dir)
    html.mkdir(parents=True, exist_ok=True)
    gcovr(build_dir, "--html-details", str(html / "index.html"))
    folders = collections.defaultdict(lambda: [0, 0, 0, 0])
    print(f"{'file':48} {'lines':>15} {'branches':>15}")
    for f in sorted(summary["files"], key=lambda f: f["filename"]):
        name = f["filename"].split(SOURCES, 1)[-1]
        counts = (f["line_covered"], f["line_total"], f["branch_covered"], f["branch_total"])
        for k, v in enumerate(counts):
            folders[name.split("/")[0]][k] += v
        print(f"{name:48} {counts[0]:>5}/{counts[1]:<4} {percent(*counts[:2]):5.1f}% "
              f"{counts[2]:>5}/{counts[3]:<4} {percent(*counts[2:]):5.1f}%")
    print()
    for folder, counts in sorted(folders.items()):
        print(f"{folder + '/':48} {counts[0]:>5}/{counts[1]:<4} {percent(*counts[:2]):5.1f}% "
              f"{counts[2]:>5}/{counts[3]:<4} {percent(*counts[2:]):5.1f}%")
    lines = percent(summary["line_covered"], summary["line_total"])
    branches = percent(summary["branch_covered"], summary["branch_total"])
    print(f"{'all':48} {summary['line_covered']:>5}/{summary['line_total']:<4} {lines:5.1f}% "
          f"{summary['branch_covered']:>5}/{summary['branch_total']:<4} {branches:5.1f}%")
    excluded = sum(text.count("GCOVR_EXCL_LINE")
                   for text in (p.read_text() for p in (ROOT / SOURCES).rglob("*.[ch]pp")))
    print(f"lines left out with a reason (GCOVR_EXCL_LINE): {excluded}")
    print(f"HTML report: {html / 'index.html'}")
    failed = [f"{what} {value:.1f}% below the floor of {floor}%"
              for what, value, floor in (("lines", lines, line_floor),
                                         ("branches", branches, branch_floor))
              if value < float(floor)]
    for line in failed:
        print(f"coverage: {line}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

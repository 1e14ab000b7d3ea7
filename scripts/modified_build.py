"""Builds the module with CMake into a folder of its own, outside any
environment: from altered copies of its sources, for scripts/proof, which
shows a check failing on a deliberately broken build, and instrumented, for
scripts/asan-check."""
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULE = "src/velmora/pipeline/patch_eus"


def copy_sources(source):
    """A copy of src/, CMakeLists.txt and the failure injection of the
    test-only build (tests/injection) in the folder `source`."""
    shutil.copytree(ROOT / "src", source / "src")
    shutil.copytree(ROOT / "tests" / "injection", source / "tests" / "injection",
                    ignore=shutil.ignore_patterns("__pycache__", "*.py"))
    shutil.copy(ROOT / "CMakeLists.txt", source)
    return source


def build(python, source, build_dir, site, options=()):
    """Builds `source` with the CMake of the virtual environment of
    `python` (with the -D `options` given) and puts the module into `site`,
    a folder for PYTHONPATH."""
    cmake = str(Path(python).parent / "cmake")
    subprocess.run([cmake, "-S", str(source), "-B", str(build_dir), "-G", "Ninja",
                    f"-DPython_EXECUTABLE={python}", "-DCMAKE_BUILD_TYPE=Release", *options],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(build_dir)], check=True, stdout=subprocess.DEVNULL)
    target = site / "velmora" / "pipeline"
    target.mkdir(parents=True, exist_ok=True)
    for library in build_dir.glob("patch_eus*.so"):
        shutil.copy(library, target)


def loaded_from(python, env):
    """The file the module is loaded from with the environment `env`."""
    return subprocess.run(
        [python, "-c", "import velmora.pipeline.patch_eus as m; print(m.__file__)"],
        env=env, capture_output=True, text=True, check=True).stdout.strip()

"""scripts/wheel_tags.py, the build's check that a wheel's tags say what
its ELF files are, on wheels made around the extension module this suite
imports: x86_64 in the matrix, AArch64 and 32-bit ARM under emulation."""
import importlib.util
import platform
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

import velmora.pipeline.patch_eus as patch_eus

SCRIPT = Path(__file__).resolve().parent.parent / "scripts" / "wheel_tags.py"
_spec = importlib.util.spec_from_file_location("wheel_tags", SCRIPT)
wheel_tags = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(wheel_tags)

# What the interpreter says it runs on, not what the check reads.
OWN = {"x86_64": "x86_64", "aarch64": "aarch64", "armv7l": "armv7l",
       "armv8l": "armv7l"}[platform.machine()]
OTHER = "aarch64" if OWN == "x86_64" else "x86_64"
DESCRIBED = {"x86_64": "64-bit little-endian x86-64", "aarch64": "64-bit little-endian AArch64",
             "armv7l": "32-bit little-endian ARM"}
ABI = "cp%d%d" % sys.version_info[:2]
MODULE = Path(patch_eus.__file__)
MEMBER = "velmora/pipeline/" + MODULE.name


def make_wheel(directory, platforms, members, abi=ABI, listed=None):
    """A wheel named for `platforms` (dot-separated) holding `members`, a
    dict of path -> bytes; its WHEEL file lists `listed` (default: the
    tags of its name)."""
    name = "velmora_pipeline_patch_eus-0.1.0-%s-%s-%s.whl" % (abi, abi, platforms)
    listed = platforms.split(".") if listed is None else listed
    path = directory / name
    with zipfile.ZipFile(path, "w") as wheel:
        for member, data in members.items():
            wheel.writestr(member, data)
        wheel.writestr("velmora_pipeline_patch_eus-0.1.0.dist-info/WHEEL",
                       "Wheel-Version: 1.0\nRoot-Is-Purelib: false\n"
                       + "".join("Tag: %s-%s-%s\n" % (abi, abi, p) for p in listed))
    return str(path)


def module_bytes():
    return MODULE.read_bytes()


def refused(path):
    with pytest.raises(wheel_tags.Mismatch) as info:
        wheel_tags.check(path)
    return str(info.value)


def test_the_module_is_named_for_this_platform():
    """The suffix the check expects is the one this interpreter imports."""
    assert sysconfig.get_config_var("EXT_SUFFIX") == (
        ".cpython-%d%d-%s.so" % (sys.version_info[:2] + (wheel_tags.ARCHES[OWN][3],)))
    assert MODULE.name.endswith(sysconfig.get_config_var("EXT_SUFFIX"))


def test_a_wheel_tagged_for_its_module_passes(tmp_path, capsys):
    platforms = "manylinux2014_%s.manylinux_2_17_%s" % (OWN, OWN)
    path = make_wheel(tmp_path, platforms, {MEMBER: module_bytes(), "velmora/x.pyi": b""})
    assert wheel_tags.main([path]) == 0
    assert "manylinux2014_%s, manylinux_2_17_%s matches" % (OWN, OWN) in capsys.readouterr().out


@pytest.mark.parametrize("platforms", ["linux_%s" % OTHER, "manylinux_2_17_%s" % OTHER,
                                       "manylinux_2_17_%s.manylinux_2_17_%s" % (OWN, OTHER)])
def test_a_wheel_tagged_for_another_machine_fails(tmp_path, capsys, platforms):
    """A cross build that does not name its target platform labels its
    module with the building machine's platform."""
    path = make_wheel(tmp_path, platforms, {MEMBER: module_bytes()})
    message = refused(path)
    assert message == "%s is %s, but the wheel is tagged %s" % (
        MEMBER, DESCRIBED[OWN], platforms.split(".")[-1])
    assert wheel_tags.main([path]) == 1
    assert message in capsys.readouterr().err


def test_a_module_named_for_another_platform_fails(tmp_path):
    wrong = MEMBER.replace(wheel_tags.ARCHES[OWN][3], wheel_tags.ARCHES[OTHER][3])
    path = make_wheel(tmp_path, "linux_" + OWN, {wrong: module_bytes()})
    assert refused(path) == "%s is named for %s, but the wheel is tagged linux_%s" % (
        wrong, wheel_tags.ARCHES[OTHER][3], OWN)


def test_a_module_for_another_interpreter_fails(tmp_path):
    other_abi = "cp313" if ABI != "cp313" else "cp312"
    path = make_wheel(tmp_path, "linux_" + OWN, {MEMBER: module_bytes()}, abi=other_abi)
    assert "but the wheel's ABI is %s" % other_abi in refused(path)


def test_file_name_and_wheel_file_must_agree(tmp_path):
    path = make_wheel(tmp_path, "manylinux_2_17_" + OWN, {MEMBER: module_bytes()},
                      listed=["linux_" + OWN])
    assert refused(path).startswith("file name tags")


def test_a_wheel_without_a_module_fails(tmp_path):
    path = make_wheel(tmp_path, "linux_" + OWN, {"velmora/pipeline/patch_eus.pyi": b""})
    assert refused(path) == "holds no extension module"


def test_an_unknown_platform_fails(tmp_path):
    path = make_wheel(tmp_path, "linux_riscv64", {MEMBER: module_bytes()})
    assert refused(path) == "platform tag linux_riscv64 names no architecture this check knows"


@pytest.mark.skipif(OWN != "armv7l", reason="only a 32-bit ARM module carries the float ABI flag")
def test_a_soft_float_arm_module_fails(tmp_path):
    """The module passes as armv7l only while its hard-float flag
    (EF_ARM_ABI_FLOAT_HARD, e_flags bit 10) is set."""
    soft = bytearray(module_bytes())
    assert soft[37] & 0x04
    soft[37] &= ~0x04
    path = make_wheel(tmp_path, "manylinux_2_17_armv7l", {MEMBER: bytes(soft)})
    assert refused(path) == MEMBER + " is soft-float ARM, but manylinux_2_17_armv7l is hard-float"

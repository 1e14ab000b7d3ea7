"""The period successor _next_donem."""
import random

import pytest

from conftest import NEXT_DONEM, module_entries


def reference_next(d):
    yy, mm = int(d[:2]), int(d[2:])
    mm += 1
    if mm > 12:
        mm = 1
        yy += 1
    return format(yy, "02d") + format(mm, "02d")


@pytest.mark.parametrize(
    "d, expected",
    [
        ("2512", "2601"), ("2501", "2502"), ("2509", "2510"), ("0012", "0101"),
        ("2500", "2501"), ("2513", "2601"), ("2599", "2601"), ("251", "2502"),
        ("25123", "2601"), ("9912", "10001"), ("10001", "1002"), ("-112", "0001"),
        ("25-5", "25-4"), (" 2 12", "0301"), ("251_1", "2512"),
        ("\u0662\u0665\u0661\u0662", "2601"),
    ],
)
def test_examples(module, d, expected):
    assert module._next_donem(d) == expected
    assert type(module._next_donem(d)) is str


@pytest.mark.parametrize("d", ["", "2", "25", "ab12", "25ab", "2_12", "__12", "25__"])
def test_invalid_codes_raise_value_error_at_line_15(module, d):
    with pytest.raises(ValueError) as info:
        module._next_donem(d)
    try:
        int(d[:2])
        int(d[2:])
    except ValueError as expected:
        assert str(info.value) == str(expected)
    assert module_entries(info.value.__traceback__) == [(NEXT_DONEM, 15)]


def test_matches_int_rules_on_random_codes(module):
    rng = random.Random(20261208)
    alphabet = "0123456789" * 4 + " -+_a\u0665\u096712"
    for _ in range(20000):
        d = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 7)))
        try:
            expected = reference_next(d)
        except ValueError as e:
            with pytest.raises(ValueError) as info:
                module._next_donem(d)
            assert str(info.value) == str(e), d
        else:
            assert module._next_donem(d) == expected, d

"""cy_set_logging_config: the pattern and level of the engine's console log lines.

Logging is process-wide, so every case that changes it runs in a child interpreter and reads the
child's standard output.
"""

import re

import pytest

LEVELS = ["trace", "debug", "info", "warning", "error", "critical", "off"]
PATTERN = re.compile(r"^\d\d/\d\d/\d\d \d\d:\d\d:\d\d (trace|debug|info|warning|error|critical) (.*)$")


def logged(run_python, code):
    """Runs code (with `m` the module) and returns the (level, message) pairs written to stdout."""
    done = run_python("import load_flow_engine.cy_engine as m\n" + code)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    matches = [PATTERN.match(line) for line in lines]
    assert all(matches), lines
    return [(match.group(1), match.group(2)) for match in matches]


LOG_EVERY_LEVEL = "for level in range(6): m._log(level, f'line {level}')\n"


@pytest.mark.parametrize("severity", LEVELS)
def test_each_severity_writes_the_lines_at_and_above_it(run_python, severity):
    lines = logged(run_python, f"m.cy_set_logging_config({severity!r})\n" + LOG_EVERY_LEVEL)
    threshold = LEVELS.index(severity)
    assert lines == [(LEVELS[k], f"line {k}") for k in range(6) if k >= threshold]


def test_default_logger_before_any_configuration(run_python):
    done = run_python("import load_flow_engine.cy_engine as m\n" + LOG_EVERY_LEVEL)
    lines = done.stdout.splitlines()
    # the library's own pattern, level info, and no colour on a pipe
    assert [line.split("] ", 1)[1] for line in lines] == [
        "[info] line 2",
        "[warning] line 3",
        "[error] line 4",
        "[critical] line 5",
    ]
    assert not any("\x1b" in line for line in lines)


@pytest.mark.parametrize("severity", ["INFO", "warn", "err", " info", "info ", "", "2", "débug"])
def test_unknown_severity_sets_the_pattern_and_keeps_the_level(run_python, severity):
    code = f"""
try:
    m.cy_set_logging_config({severity!r})
except RuntimeError as e:
    m._log(4, str(e.args == ('Unknown severity string ' + {severity!r} + '.',)))
m._log(1, 'hidden')
m._log(2, 'shown')
"""
    assert logged(run_python, code) == [("error", "True"), ("info", "shown")]


def test_a_level_set_earlier_survives_an_unknown_name(run_python):
    code = "m.cy_set_logging_config('error')\ntry:\n    m.cy_set_logging_config('debug ')\nexcept RuntimeError:\n    pass\n"
    assert logged(run_python, code + LOG_EVERY_LEVEL) == [("error", "line 4"), ("critical", "line 5")]


def test_repeated_configuration_and_keyword_argument(run_python):
    code = "m.cy_set_logging_config('warning')\nm.cy_set_logging_config(severity='warning')\n"
    assert logged(run_python, code + LOG_EVERY_LEVEL) == [
        ("warning", "line 3"),
        ("error", "line 4"),
        ("critical", "line 5"),
    ]


class SubStr(str):
    pass


@pytest.mark.parametrize("value, type_name", [(None, "NoneType"), (b"info", "bytes"), (SubStr("info"), "SubStr"), (2, "int")])
def test_severity_must_be_exactly_a_str(cy, value, type_name):
    with pytest.raises(TypeError) as failure:
        cy.cy_set_logging_config(value)
    assert str(failure.value) == f"Argument 'severity' has incorrect type (expected str, got {type_name})"


def test_lone_surrogate_fails_to_encode(cy):
    with pytest.raises(UnicodeEncodeError):
        cy.cy_set_logging_config("\ud800")


def test_docstring(cy):
    assert cy.cy_set_logging_config.__doc__ == "cy_set_logging_config(str severity)"

"""docs/reference.md against the module: every python block runs and asserts what it shows, every
row of the error table raises what it says, every class is described and every documented
constructor takes the arguments it is documented with."""

import ast
import builtins
import re
from pathlib import Path

import numpy as np
import pytest

REFERENCE = Path(__file__).resolve().parents[2] / "docs" / "reference.md"
TEXT = REFERENCE.read_text(encoding="utf-8")


def python_blocks():
    """(id, code) of every ```python block, the id naming the heading it stands under."""
    blocks, heading, code = [], "top", None
    for number, line in enumerate(TEXT.splitlines(), 1):
        if code is not None:
            if line.strip() == "```":
                blocks.append((f"{heading}-line{start}", "\n".join(code)))
                code = None
            else:
                code.append(line)
        elif line.startswith("```python"):
            code, start = [], number
        elif line.startswith("#"):
            heading = re.sub(r"\W+", "-", line.lstrip("#").strip().strip("`")).strip("-").lower()
    return blocks


def section(title):
    start = TEXT.index(f"\n## {title}\n")
    end = TEXT.find("\n## ", start + 1)
    return TEXT[start : end if end != -1 else len(TEXT)]


def error_rows():
    """(call, exception name, message) of each row of the error table."""
    rows = []
    for line in section("Errors").splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split(" | ")]
        if len(cells) == 4 and cells[1].startswith("`") and cells[3].startswith("`"):
            rows.append((cells[1].strip("`"), cells[2], ast.literal_eval(cells[3].strip("`"))))
    return rows


BLOCKS = python_blocks()
ROWS = error_rows()


def test_the_reference_has_its_examples():
    assert len(BLOCKS) >= 10 and len(ROWS) >= 40


@pytest.mark.parametrize("code", [code for _, code in BLOCKS], ids=[name for name, _ in BLOCKS])
def test_each_example_runs(run_python, code):
    done = run_python(code)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("call, exception, message", ROWS, ids=[call[:60] for call, _, _ in ROWS])
def test_each_mistake_gets_its_error(cy, call, exception, message):
    with pytest.raises(getattr(builtins, exception)) as raised:
        eval(call, {"cy": cy, "np": np})
    assert type(raised.value) is getattr(builtins, exception)
    assert str(raised.value) == message


def test_every_class_and_function_has_its_section(cy):
    public = [name for name in dir(cy) if name.startswith(("Cy", "cy_"))]
    headings = set(re.findall(r"^#{2,3} `(\w+)`$", TEXT, re.MULTILINE))
    assert sorted(set(public) - headings) == []


# "`CyBus(n, potentials)`: ..." opens the description of a class; abstract classes have none.
SIGNATURES = re.findall(r"^`((?:Cy|cy_)\w+)\(([\w, ]*)\)`:", TEXT, re.MULTILINE)


def test_every_concrete_class_has_its_signature(cy):
    abstract = {"CyElement", "CyBranch", "CyLoad", "CyTransformer", "CyAbstractSolver", "CyAbstractNewton"}
    public = {name for name in dir(cy) if name.startswith(("Cy", "cy_"))}
    assert sorted(public - abstract - {name for name, _ in SIGNATURES}) == []


@pytest.mark.parametrize("name, arguments", SIGNATURES, ids=[name for name, _ in SIGNATURES])
def test_each_documented_signature_is_accepted(cy, name, arguments):
    """Given by keyword under the documented names, the arguments pass the count and name checks
    (None may then fail to convert)."""
    names = [a.strip() for a in arguments.split(",") if a.strip()]
    try:
        getattr(cy, name)(**dict.fromkeys(names))
    except TypeError as e:
        assert not re.search(r"takes exactly|keyword argument|positional argument", str(e)), str(e)
    except (ValueError, RuntimeError):
        pass

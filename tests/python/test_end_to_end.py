"""The example feeder end to end: the solvers agree, updates between solves, reading the results
through the element wrappers, and the lifetimes of networks and solvers."""

import gc
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import lv_feeder  # noqa: E402

SCENARIOS = list(lv_feeder.SCENARIOS)
SOLVER_NAMES = list(lv_feeder.SOLVERS)


def solve(solver):
    return solver.solve_load_flow(lv_feeder.MAX_ITERATIONS, lv_feeder.TOLERANCE)


def largest_difference(a, b):
    return max(float(np.max(np.abs(a[bus] - b[bus]))) for bus in a)


@pytest.fixture(scope="module")
def results():
    return lv_feeder.solve_all(lv_feeder.Feeder())


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_the_three_solvers_agree(results, scenario):
    for name in SOLVER_NAMES:
        iterations, error, _ = results[name][scenario]
        assert iterations < lv_feeder.MAX_ITERATIONS and error <= lv_feeder.TOLERANCE
    assert lv_feeder.largest_difference(results, scenario) <= 1e-6


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_the_solution_is_physical(scenario):
    feeder = lv_feeder.Feeder()
    feeder.set_loads(scenario)
    solver = lv_feeder.SOLVERS["Newton"](feeder.network)
    solve(solver)
    voltages = feeder.voltages()
    np.testing.assert_allclose(voltages["bus 0"], lv_feeder.NOMINAL[:3], atol=1e-9)
    for bus, v in voltages.items():
        assert np.all((abs(v) > 200) & (abs(v) <= 230 + 1e-9)), bus
    # The star power load draws exactly its powers across its phases.
    potentials = feeder.buses["bus 1"].get_potentials(4)
    currents = feeder.loads["star power"].get_currents(4)
    drawn = (potentials[:3] - potentials[3]) * currents[:3].conj()
    np.testing.assert_allclose(drawn, lv_feeder.SCENARIOS[scenario]["star power"], rtol=1e-9)
    assert abs(currents.sum()) < 1e-9
    # Every cable's ground port returns the shunt currents to the ground node.
    for cable in feeder.cables.values():
        assert abs(cable.get_port_current(8) + cable.get_currents(8).sum()) < 1e-9


@pytest.mark.parametrize("name", SOLVER_NAMES)
def test_updating_between_two_solves_equals_a_new_solver(name):
    feeder = lv_feeder.Feeder()
    solver = lv_feeder.SOLVERS[name](feeder.network)
    solve(solver)
    base = feeder.voltages()
    feeder.set_loads("evening peak")
    solve(solver)
    updated = feeder.voltages()
    assert largest_difference(base, updated) > 1  # the update reached the solver

    fresh = lv_feeder.SOLVERS[name](feeder.network)  # starts from the loads' updated own values
    solve(fresh)
    assert largest_difference(updated, feeder.voltages()) <= 1e-6

    rebuilt = lv_feeder.Feeder()
    rebuilt.set_loads("evening peak")
    other = lv_feeder.SOLVERS[name](rebuilt.network)
    solve(other)
    assert largest_difference(updated, rebuilt.voltages()) <= 1e-6


@pytest.mark.parametrize("name", SOLVER_NAMES)
def test_potentials_follow_set_variables_and_reset_inputs(name):
    feeder = lv_feeder.Feeder()
    solver = lv_feeder.SOLVERS[name](feeder.network)
    start = solver.get_variables()
    bus1 = feeder.buses["bus 1"]
    start_potentials = bus1.get_potentials(4)
    solve(solver)
    solved = solver.get_variables()
    solved_potentials = bus1.get_potentials(4)
    assert np.max(np.abs(solved_potentials - start_potentials)) > 1

    # The first variables are bus 0's three phases (the source shares them; its neutral is zero).
    moved = solved.copy()
    moved[:6] = [1, 2, 3, 4, 5, 6]
    solver.set_variables(moved)
    assert list(feeder.buses["bus 0"].get_potentials(4)) == [1 + 2j, 3 + 4j, 5 + 6j, 0]
    assert list(feeder.source.get_potentials(4)) == [1 + 2j, 3 + 4j, 5 + 6j, 0]
    assert list(bus1.get_potentials(4)) == list(solved_potentials)

    solver.reset_inputs()
    assert list(solver.get_variables()) == list(start)
    assert list(bus1.get_potentials(4)) == list(start_potentials)
    solver.set_variables(solved)
    assert list(bus1.get_potentials(4)) == list(solved_potentials)


def every_reading(feeder):
    readings = []
    for bus in feeder.buses.values():
        readings += [bus.get_potentials(4), bus.get_currents(4)]
    for load in feeder.loads.values():
        readings.append(load.get_inner_currents(4))
    for cable in feeder.cables.values():
        readings += [*cable.get_side_potentials(4, 4), *cable.get_side_currents(4, 4)]
    readings.append(feeder.source.get_currents(4))
    return readings


@pytest.mark.parametrize("name", SOLVER_NAMES)
def test_reading_after_the_solver_is_gone(name):
    feeder = lv_feeder.Feeder()
    solver = lv_feeder.SOLVERS[name](feeder.network)
    solve(solver)
    solved = feeder.voltages()
    del solver
    gc.collect()
    for reading in every_reading(feeder):
        assert np.all(np.isfinite(reading))
    after = feeder.voltages()
    if name == "Backward-forward":
        # The sweep writes the nodes' own values too.
        assert largest_difference(solved, after) <= 1e-6
    else:
        # A Newton solve moves only its solver's values: the nodes keep their start values.
        np.testing.assert_allclose(after["bus 2"], lv_feeder.NOMINAL[:3] - lv_feeder.NOMINAL[3])
    feeder.set_loads("evening peak")  # writes the loads' own values only now
    solver = lv_feeder.SOLVERS[name](feeder.network)
    solve(solver)
    reference = lv_feeder.Feeder()
    reference.set_loads("evening peak")
    kept = lv_feeder.SOLVERS[name](reference.network)
    solve(kept)
    assert largest_difference(feeder.voltages(), reference.voltages()) <= 1e-6


def only_the_solver(name):
    feeder = lv_feeder.Feeder()
    return lv_feeder.SOLVERS[name](feeder.network), feeder.loads["star power"]


def only_the_network():
    return lv_feeder.Feeder().network


@pytest.mark.parametrize("name", SOLVER_NAMES)
def test_references_keep_the_network_and_its_elements(results, name):
    solver, load = only_the_solver(name)
    gc.collect()
    assert solve(solver)[1] <= lv_feeder.TOLERANCE
    expected = results[name]["base load"][2]["bus 1"]
    v = load.get_potentials(4)  # on bus 1's nodes
    np.testing.assert_allclose(v[:3] - v[3], expected, atol=1e-6)

    network = only_the_network()
    gc.collect()
    solver = lv_feeder.SOLVERS[name](network)
    del network
    gc.collect()
    assert solve(solver)[1] <= lv_feeder.TOLERANCE
    source_phases = np.column_stack([lv_feeder.NOMINAL[:3].real, lv_feeder.NOMINAL[:3].imag]).ravel()
    np.testing.assert_allclose(solver.get_variables()[:6], source_phases, atol=1e-9)

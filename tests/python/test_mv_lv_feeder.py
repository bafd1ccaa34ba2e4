"""The MV/LV example feeder through its day: one solver updated in place, the transformer's
per-winding values and the PV unit's volt-var law."""

import math
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import mv_lv_feeder as example  # noqa: E402

U_PHASE = example.U_LV / math.sqrt(3)
HOURS = [hour for hour, _, _ in example.PROFILE]


def new_solver(feeder):
    return example.cy.CyNewtonGoldstein(feeder.network, True, 0.1, 0.9, True)


@pytest.fixture(scope="module")
def day():
    return {step[0]: step for step in example.solve_day(example.Feeder())}


@pytest.mark.parametrize("hour", HOURS)
def test_every_step_converges_to_sane_voltages(day, hour):
    _, iterations, error, low, high, _ = day[hour]
    assert iterations < example.MAX_ITERATIONS and error <= example.TOLERANCE
    assert 0.9 * U_PHASE < low <= high < 1.1 * U_PHASE


@pytest.mark.parametrize("hour", HOURS)
def test_a_step_updated_in_place_equals_a_new_solver(day, hour):
    feeder = example.Feeder()
    _, load_share, pv_share = next(step for step in example.PROFILE if step[0] == hour)
    feeder.set_step(load_share, pv_share)
    solver = new_solver(feeder)
    iterations, error = solver.solve_load_flow(example.MAX_ITERATIONS, example.TOLERANCE)
    assert iterations < example.MAX_ITERATIONS and error <= example.TOLERANCE
    v = feeder.phase_voltages()
    q = feeder.pv.get_powers(3).imag.sum() / 1e3
    np.testing.assert_allclose([v.min(), v.max(), q], day[hour][3:], atol=1e-6)


def test_the_transformer_values_are_per_winding():
    feeder = example.Feeder()
    feeder.set_step(0.0, 0.0)  # next to nothing drawn: the no-load ratio shows
    solver = new_solver(feeder)
    solver.solve_load_flow(example.MAX_ITERATIONS, example.TOLERANCE)
    np.testing.assert_allclose(feeder.phase_voltages(), U_PHASE, rtol=1e-6)
    lv = feeder.buses[0].get_potentials(3)
    hv = feeder.hv.get_potentials(3)
    assert math.degrees(np.angle(lv[0] / hv[0])) == pytest.approx(30)  # Dyn11: the LV side leads by 30°

    # The rated no-load loss and current, short-circuit voltage and copper loss come back.
    p0, i0 = feeder.transformer.compute_open_circuit_parameters(example.U_HV, example.U_LV, example.S_N)
    assert p0 == pytest.approx(example.P_FE, rel=1e-6) and i0 == pytest.approx(example.I0, rel=1e-6)
    pcu, vsc = feeder.transformer.compute_short_circuit_parameters(example.U_HV, example.U_LV, example.S_N)
    assert vsc == pytest.approx(example.UK) and pcu == pytest.approx(example.P_CU, rel=1e-3)


def test_the_pv_unit_follows_its_volt_var_law(day):
    u_up, u_max = example.VOLT_VAR[3], example.VOLT_VAR[4]
    noon = day[12]
    assert u_up < noon[4] < u_max and noon[5] > 0.1  # a high voltage: the PV unit draws reactive power
    quiet = day[4]
    assert example.VOLT_VAR[2] < quiet[3] and quiet[4] < u_up and abs(quiet[5]) < 0.01  # in the dead band

"""A cache file is found by its name alone: `generate_lut` checks the table it
holds against the configuration before returning it, and characterises afresh
(with one warning) a table of another configuration."""

import os
import pathlib
import shutil
import warnings

import numpy as np
import pytest

import morva

pytestmark = pytest.mark.skipif(shutil.which("ngspice") is None, reason="ngspice not installed")

# The built-in Level-3 models on a coarse grid: a table in a fraction of a second.
SMALL = dict(vgs=(0.0, 1.8, 0.3), vds=(0.0, 1.8, 0.6))
EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "bsim4_180nm.lib"


@pytest.fixture(scope="module")
def pool():
    with morva.SimulationPool(workers=2) as p:
        yield p


@pytest.fixture
def home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    return tmp_path


def characterise(pool, capfd, config, **kw):
    """The table, whether it was simulated, and the warnings given."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        lut = pool.generate_lut(config, **kw)
    out = capfd.readouterr().out
    simulated = "tasks completed" in out or "[native BSIM4]" in out
    return lut, simulated, [str(w.message) for w in caught if w.category is RuntimeWarning]


def plant(pool, capfd, config, other):
    """The table of `other`, stored under the cache key of `config`, and that key."""
    made = pool.generate_lut(other, cache=False)
    key = morva.lut_cache_key(config)
    made.save(key)
    capfd.readouterr()
    return made, key


# Each difference the check finds has its case in the C++ tests; here the
# road through generate_lut, on tables ngspice made.
@pytest.mark.parametrize("stored, wanted, reason", [
    # The 2 W x 2 L table's file in place of a 1 W x 1 L configuration's.
    (dict(widths_values=[1e-6, 2e-6], lengths_values=[1e-6, 2e-6]), dict(widths_values=[1e-6], lengths_values=[1e-6]),
     "widths: 2 in the table, 1 configured"),
    (dict(op_params=["von"]), dict(op_params=[]), 'operating-point parameter "von" not requested'),
])
def test_a_table_of_another_configuration_is_characterised_afresh(pool, home, capfd, stored, wanted, reason):
    config = morva.LutConfig(**{**SMALL, **wanted})
    _, key = plant(pool, capfd, config, morva.LutConfig(**{**SMALL, **stored}))

    lut, simulated, warned = characterise(pool, capfd, config)
    assert warned == [f"{morva.lut_cache_path(key)} holds a table of another configuration ({reason}); "
                      "regenerating"]
    assert simulated
    fresh = pool.generate_lut(config, cache=False)
    capfd.readouterr()
    assert lut.shape == fresh.shape
    np.testing.assert_array_equal(lut.id, fresh.id)
    # The file now holds this configuration's table: the next call reads it.
    again, simulated, warned = characterise(pool, capfd, config)
    assert (simulated, warned) == (False, [])
    np.testing.assert_array_equal(again.id, fresh.id)


def test_a_matching_table_is_returned_as_stored(pool, home, capfd):
    # A model that lacks a requested parameter still answers the request, and
    # a table written for the same axes by another configuration (here other
    # instance naming) is as good as its own.
    config = morva.LutConfig(op_params=["von", "no_such_parameter"], **SMALL)
    made, _ = plant(pool, capfd, config, morva.LutConfig(op_params=["VON"], device_name="m9", **SMALL))
    lut, simulated, warned = characterise(pool, capfd, config)
    assert (simulated, warned) == (False, [])
    assert made.extracted_op_params == ["von"]
    np.testing.assert_array_equal(lut.von, made.von)


def test_a_bad_configuration_is_refused_before_the_cache(pool, home):
    config = morva.LutConfig(device_type="nfet", **SMALL)
    with pytest.raises(ValueError, match="^device_type must be 'nmos' or 'pmos', got 'nfet'$"):
        pool.generate_lut(config)
    table = pool.generate_lut(morva.LutConfig(**SMALL), cache=False).table
    with pytest.raises(TypeError, match="^argument 'cfg': "):
        table._cache_mismatch({"device_type": "nmos"})
    assert not os.path.exists(home / ".cache")


@pytest.mark.parametrize("stored, wanted", [(dict(device_type="pmos"), dict()), (dict(), dict(device_type="pmos"))])
def test_the_currents_are_not_judged(pool, home, capfd, stored, wanted):
    # The key names the device type; the currents cannot tell it for sure
    # (leakage of a device swept off mimics the other one's channel), so a
    # table of the other device on the same axes, planted under this key, is
    # returned as stored.
    config = morva.LutConfig(**{**SMALL, **wanted})
    made, _ = plant(pool, capfd, config, morva.LutConfig(**{**SMALL, **stored}))
    lut, simulated, warned = characterise(pool, capfd, config)
    assert (simulated, warned) == (False, [])
    np.testing.assert_array_equal(lut.id, made.id)


@pytest.mark.parametrize("native", [False, True], ids=["pool", "native"])
@pytest.mark.parametrize("agidl", [1e-6, 1e-3])
@pytest.mark.parametrize("model, device, vgs, vds", [
    # Off-region sweeps of a card with strong gate-induced drain leakage: the
    # leakage grows as the gate moves away from conduction, the way the other
    # polarity's channel current would.
    ("nch", "nmos", (-1.5, 0.0, 0.25), (0.0, 1.8, 0.6)),
    ("pch", "pmos", (0.0, 1.5, 0.25), (0.0, -1.8, -0.6)),
])
def test_a_table_of_leakage_alone_is_read_back(pool, home, capfd, tmp_path, model, device, vgs, vds, agidl, native):
    card = tmp_path / "gidl.lib"
    card.write_text(EXAMPLE.read_text().replace("agidl=0 ", f"agidl={agidl} "))
    config = morva.LutConfig(model_file=str(card), model_name=model, device_type=device, vgs=vgs, vds=vds,
                             use_native_bsim4=native)
    made, simulated, warned = characterise(pool, capfd, config)
    assert (simulated, warned) == (True, [])
    # The leakage is there: at full Vds it spans three decades over the sweep,
    # and on the heavy card it passes 1 uA per um of width, as a channel does.
    at_vds = np.abs(made.id[:, -1])
    assert at_vds.max() > 1e3 * at_vds.min() > 0
    assert (at_vds.max() > 1.0 * config.width) == (agidl == 1e-3)  # 1 A/m = 1 uA/um
    again, simulated, warned = characterise(pool, capfd, config)
    assert (simulated, warned) == (False, [])
    np.testing.assert_array_equal(again.id, made.id)


@pytest.mark.parametrize("native", [False, True], ids=["pool", "native"])
@pytest.mark.parametrize("model, device, vgs, vds", [
    ("nch", "nmos", (-1.2, 0.2, 0.1), (0.0, 1.2, 0.3)),
    ("pch", "pmos", (1.2, -0.2, -0.1), (0.0, -1.2, -0.3)),
])
def test_a_table_of_heavy_leakage_near_the_source_is_read_back(pool, home, capfd, tmp_path, model, device, vgs,
                                                               vds, native):
    # Leakage tables up to just past threshold on a card whose leakage,
    # with the drain 0.6 V from the source, passes 1 uA per um of width and
    # falls a decade every few tenths of a volt of gate rise.
    card = tmp_path / "gidl.lib"
    card.write_text(EXAMPLE.read_text().replace("agidl=0 bgidl=2.3e9", "agidl=1e-2 bgidl=1e9"))
    config = morva.LutConfig(model_file=str(card), model_name=model, device_type=device, vgs=vgs, vds=vds,
                             use_native_bsim4=native)
    made, simulated, warned = characterise(pool, capfd, config)
    assert (simulated, warned) == (True, [])
    near = np.abs(made.id[:, 2])  # Vds = 0.6 V from the source
    assert near[0] > 1.0 * config.width > 1e3 * near[8]
    again, simulated, warned = characterise(pool, capfd, config)
    assert (simulated, warned) == (False, [])
    np.testing.assert_array_equal(again.id, made.id)


def test_a_native_table_holds_what_the_evaluator_gives(pool, home, capfd):
    # The native evaluator always gives vth: a native table without it is
    # another configuration's. Through the pool a model may lack it.
    config = morva.LutConfig(model_file=str(EXAMPLE), model_name="nch", use_native_bsim4=True,
                             op_params=["vth", "cgg"], **SMALL)
    _, key = plant(pool, capfd, config,
                   morva.LutConfig(model_file=str(EXAMPLE), model_name="nch", use_native_bsim4=True, **SMALL))
    lut, simulated, warned = characterise(pool, capfd, config)
    assert warned == [f"{morva.lut_cache_path(key)} holds a table of another configuration (operating-point "
                      'parameter "vth" requested but not in the table); regenerating']
    assert lut.extracted_op_params == ["vth"]
    again, simulated, warned = characterise(pool, capfd, config)
    assert (simulated, warned) == (False, [])

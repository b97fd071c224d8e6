"""The linked variables of cvar, the configuration record and its accessors."""

import _kelvex as k
import pytest
from module_support import run_script

FIELDS = ["fd", "retries", "timeout", "baud", "flow_type", "charge", "current",
          "fRaspberryConsumption", "buzz_port", "buzz_server"]


def get(field, g=None):
    return getattr(k, f"Global_{field}_get")(k.cvar.G if g is None else g)


def put(field, value, g=None):
    getattr(k, f"Global_{field}_set")(k.cvar.G if g is None else g, value)


@pytest.fixture
def live_config():
    """Restores the live configuration a test changes."""
    saved = {f: get(f) for f in FIELDS}
    saved_vars = (k.cvar.debug, k.cvar.ncells, k.cvar.ftp_path, k.cvar.donotpollsunbattery)
    yield
    for f in FIELDS:
        put(f, saved[f])
    k.cvar.debug, k.cvar.ncells, k.cvar.ftp_path, k.cvar.donotpollsunbattery = saved_vars


def test_initial_values_in_a_fresh_interpreter():
    result = run_script("""
        import _kelvex as k
        c = k.cvar
        print([c.debug, c.ncells, c.ftp_path, c.donotpollsunbattery])
        print([getattr(k, "Global_%s_get" % f)(c.G) for f in
               ("fd", "retries", "timeout", "baud", "flow_type", "charge", "current",
                "fRaspberryConsumption", "buzz_port", "buzz_server")])
        print(repr(c), str(c))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines() == [
        "[0, 8, None, 0]",
        "[-1, 5, 30, 115200, 0, 1.5, 60.0, 150.0, 4567, None]",
        "<Swig global variables> (G, donotpollsunbattery, ftp_path, ncells, debug)",
    ]


class TestLinkedVariables:
    def test_int_variables_read_and_write(self, live_config):
        k.cvar.ncells = 100  # no range check
        assert k.cvar.ncells == 100
        k.cvar.debug = True
        assert k.cvar.debug == 1
        k.cvar.donotpollsunbattery = -7
        assert k.cvar.donotpollsunbattery == -7

    @pytest.mark.parametrize("name", ["debug", "ncells", "donotpollsunbattery"])
    def test_int_variables_refuse_other_types(self, live_config, name):
        with pytest.raises(TypeError, match=rf"^in variable '{name}' of type 'int'$"):
            setattr(k.cvar, name, "1")
        with pytest.raises(OverflowError, match=rf"^in variable '{name}' of type 'int'$"):
            setattr(k.cvar, name, 2**40)

    def test_ftp_path_takes_text_and_none(self, live_config):
        k.cvar.ftp_path = "ftp://10.0.0.1/up"
        assert k.cvar.ftp_path == "ftp://10.0.0.1/up"
        k.cvar.ftp_path = b"ftp://10.0.0.2/x"
        assert k.cvar.ftp_path == "ftp://10.0.0.2/x"
        k.cvar.ftp_path = None
        assert k.cvar.ftp_path is None
        with pytest.raises(TypeError, match=r"^in variable 'ftp_path' of type 'char \*'$"):
            k.cvar.ftp_path = 5

    def test_unknown_names_raise_attribute_error(self):
        with pytest.raises(AttributeError, match=r"^Unknown C global variable 'missing'$"):
            k.cvar.missing
        with pytest.raises(AttributeError, match=r"^Unknown C global variable 'other'$"):
            k.cvar.other = 1

    def test_g_is_the_live_record_not_owned(self):
        g = k.cvar.G
        # A proxy instance once the kelvex module has registered its class.
        assert "<Swig Object of type 'Global *' at 0x" in repr(g)
        raw = lambda p: int(getattr(p, "this", p))
        assert raw(g) == raw(k.cvar.G) != 0
        del g  # not owned: nothing is released, nothing is reported


class TestRecordAssignment:
    def test_assigning_a_new_record_copies_it_into_the_live_configuration(self):
        result = run_script("""
            import _kelvex as k
            g = k.new_Global()
            k.cvar.G = g
            k.delete_Global(g)
            print([getattr(k, "Global_%s_get" % f)(k.cvar.G) for f in ("fd", "baud", "buzz_server")])
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.decode().splitlines()[0] == "[0, 0, None]"

    def test_assignment_copies_the_server_string(self, live_config):
        g = k.new_Global()
        try:
            put("buzz_server", "10.1.2.3", g)
            put("baud", 9600, g)
            k.cvar.G = g
            assert get("buzz_server") == "10.1.2.3" and get("baud") == 9600
            # Changing or releasing one record's string leaves the other intact.
            put("buzz_server", "10.9.9.9", g)
            assert get("buzz_server") == "10.1.2.3"
            put("buzz_server", None, g)
            put("buzz_server", "10.4.4.4")
            assert get("buzz_server") == "10.4.4.4" and get("buzz_server", g) is None
        finally:
            k.delete_Global(g)

    def test_assignment_errors(self):
        with pytest.raises(ValueError,
                           match=r"^invalid null reference in variable 'G' of type 'struct Global'$"):
            k.cvar.G = None
        with pytest.raises(TypeError, match=r"^in variable 'G' of type 'struct Global'$"):
            k.cvar.G = 5


class TestAccessors:
    def test_every_field_reads_and_writes(self):
        g = k.new_Global()
        try:
            values = {"fd": 3, "retries": 2, "timeout": 100, "baud": 9600, "flow_type": 1,
                      "charge": 2.5, "current": 30.25, "fRaspberryConsumption": 99.5,
                      "buzz_port": 5000, "buzz_server": "192.168.0.9"}
            for field, value in values.items():
                assert get(field, g) in (0, 0.0, None)
                put(field, value, g)
            assert {f: get(f, g) for f in values} == values
            put("buzz_server", b"10.0.0.1", g)
            assert get("buzz_server", g) == "10.0.0.1"
        finally:
            k.delete_Global(g)

    def test_record_argument_errors(self):
        for field in FIELDS:
            with pytest.raises(TypeError,
                               match=rf"^in method 'Global_{field}_get', argument 1 of type 'struct Global \*'$"):
                getattr(k, f"Global_{field}_get")(5)
        with pytest.raises(TypeError, match=r"^in method 'delete_Global', argument 1 of type 'struct Global \*'$"):
            k.delete_Global("x")
        with pytest.raises(TypeError, match=r"^in method 'Global_buzz_server_set', argument 2 of type 'char \*'$"):
            k.Global_buzz_server_set(k.cvar.G, 5)

    def test_getters_refuse_none_setters_skip_it(self):
        for field in FIELDS:
            with pytest.raises(TypeError,
                               match=rf"^in method 'Global_{field}_get', argument 1 of type 'struct Global \*'$"):
                getattr(k, f"Global_{field}_get")(None)
        assert k.Global_fd_set(None, 1) is None
        assert k.Global_buzz_server_set(None, "10.0.0.1") is None
        assert k.delete_Global(None) is None

    def test_release_refuses_the_modules_record_and_happens_once(self):
        # Run apart: a fault here aborts the interpreter (free() of a static
        # record, or a double free).
        result = run_script("""
            import _kelvex as k
            try:
                k.delete_Global(k.cvar.G)
            except ValueError as e:
                print(e)
            print(k.Global_baud_get(k.cvar.G))
            g = k.new_Global()
            k.Global_retries_set(g, 3)
            print(k.delete_Global(g), k.delete_Global(g))
            try:
                k.Global_retries_get(g)
            except TypeError as e:
                print(e)
            import kelvex
            proxy = kelvex.Global()
            k.delete_Global(proxy)
            del proxy
            print("end")
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.decode().splitlines() == [
            "delete_Global: cvar.G is the module's own record and is never released",
            "115200", "None None",
            "in method 'Global_retries_get', argument 1 of type 'struct Global *'", "end"]

    def test_accessors_change_the_live_configuration(self, live_config):
        put("timeout", 250)
        assert get("timeout") == 250

    def test_collecting_an_unregistered_record_reports_a_leak(self):
        result = run_script("""
            import _kelvex as k
            g = k.new_Global()
            del g
        """)
        assert result.stdout.decode() == \
            "swig/python detected a memory leak of type 'Global *', no destructor found.\n"

    def test_proxy_class_properties_reach_the_live_record(self):
        result = run_script("""
            import kelvex
            kelvex.cvar.G.baud = 9600
            kelvex.cvar.G.buzz_server = "10.0.0.7"
            import _kelvex
            print(_kelvex.Global_baud_get(_kelvex.cvar.G), kelvex.cvar.G.buzz_server)
            g = kelvex.Global()
            g.retries = 9
            print(g.retries, g.fd)
            del g
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.decode().splitlines() == ["9600 10.0.0.7", "9 0"]

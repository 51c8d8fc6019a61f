import tallowind_ara2


def test_module_reports_its_version():
    assert tallowind_ara2.__version__ == "0.22.0"

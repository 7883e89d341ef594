"""Options of the checks of the shipped 32-bit DLL (given by ctest)."""
import pytest


def pytest_addoption(parser):
    parser.addoption("--dll", required=True, help="the 32-bit DLL to check")
    parser.addoption("--objdump", required=True, help="the cross objdump of the DLL's target")
    parser.addoption("--def", dest="def_file", required=True, help="the module's export list")


@pytest.fixture(scope="session")
def options(request):
    return request.config.option

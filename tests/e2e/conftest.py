"""pytest fixtures of the end-to-end suite: a fresh segment per test, the
radio simulator on it, programs under a pseudo-terminal. The simulator's log
and each program's output are shown when a test fails."""

import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from fixture import Program, Simulator, build_dir  # noqa: E402
from netns import RawLink, Segment  # noqa: E402

PREFIX = os.environ.get("ORVEX_E2E_PREFIX", "ox4")


def pytest_collection_modifyitems(config, items):
    if os.geteuid() != 0:
        skip = pytest.mark.skip(reason="needs root (network namespaces and raw frames)")
        for item in items:
            item.add_marker(skip)


@pytest.fixture
def segment():
    seg = Segment(PREFIX).create()
    try:
        yield seg
    finally:
        seg.remove()


@pytest.fixture
def start_simulator(segment, tmp_path, request):
    """start_simulator([radio, ...], extra_args=()) -> a running Simulator, stopped at the end."""
    started = []

    def start(radios, extra_args=()):
        sim = Simulator(segment, radios, str(tmp_path / f"sim{len(started)}"), extra_args)
        os.makedirs(os.path.dirname(sim.log_path), exist_ok=True)
        started.append(sim)
        return sim.start()

    yield start
    for sim in started:
        sim.stop()
        _report(request, f"radiosim log ({sim.log_path})", sim.log())


@pytest.fixture
def run_program(segment, tmp_path, request):
    """run_program(argv, cwd=None) -> Program under a pty in the program's namespace."""
    programs = []

    def run(argv, cwd=None, timeout=10.0, env=None):
        program = Program(segment, argv, cwd or str(tmp_path), timeout, env)
        programs.append(program)
        return program

    yield run
    for program in programs:
        program.close()
        _report(request, "program output", program.output())


@pytest.fixture
def program_link(segment):
    """A raw socket on the program's end of the segment."""
    link = RawLink(segment.program_ns, segment.program_if)
    try:
        yield link
    finally:
        link.close()


@pytest.fixture
def binaries():
    return build_dir()


def _report(request, title, text):
    """Attaches text to the test's report (shown on failure)."""
    request.node.add_report_section("teardown", title, text or "(empty)")


@pytest.fixture(autouse=True)
def _needs_tools():
    for tool in ("ip",):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed")

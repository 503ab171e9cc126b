"""The command line, the network namespace and the scenario loop shared by the end-to-end
drivers that run named scenarios one after the other (tests/e2e/run_pop3_native.py,
run_pop3_tls.py, lcd.py).

A driver gives its scenarios (name -> function of a context), how to make the context of one
scenario in its work dir, the tools it needs and what to print when a scenario fails:

    sys.exit(run_scenarios(__file__, SCENARIOS, make_context, "kc-e2e", tools=tools_for,
                           check=check_programs, report=print_traces))

Every driver takes --program, --scenario (all, or names joined by commas) and --keep (keep the
work dir); a driver adds its own options with extra_options. Each run re-runs the script in a
network namespace of its own (`unshare -n`, loopback up), so its servers can listen on
127.0.0.1:110. Exit codes: 0 all passed, 1 one failed (a tool that scripts/install-deps.sh
installs and that is missing fails too), 77 (skipped) when not root, 2 for a bad command line.

stdlib only.
"""
import argparse
import os
import shutil
import subprocess
import sys

from processes import finish_work_dir, make_work_dir

SKIP = 77


def enter_network_namespace(script, argv, tools=("unshare", "ip")):
    """Re-runs `script` with argv inside a network namespace of its own and returns its exit
    code, or None when already inside one (the loopback is then brought up). SKIP when not
    root (a fact of the host); 1 when a tool is missing (scripts/install-deps.sh installs it)."""
    if os.environ.get("KC_E2E_NETNS") == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return None
    if os.geteuid() != 0:
        print("SKIP: needs root for a network namespace")
        return SKIP
    for tool in tools:
        if shutil.which(tool) is None and not os.path.exists(f"/usr/sbin/{tool}"):
            print(f"FAILED: {tool} not found (scripts/install-deps.sh installs it)")
            return 1
    env = dict(os.environ, KC_E2E_NETNS="1")
    return subprocess.call(["unshare", "-n", "--", sys.executable, os.path.abspath(script), *argv],
                           env=env)


class ScenarioContext:
    """What one scenario started, taken down in reverse order when it ends, whatever happened."""

    def __init__(self, workdir):
        self.dir = workdir
        self.cleanups = []

    def finish(self, program):
        """Ends program as SIGTERM does; it must exit with 0."""
        code = program.stop()
        if code != 0:
            raise AssertionError(f"exit code {code} after SIGTERM, expected 0")

    def close(self):
        for c in reversed(self.cleanups):
            try:
                c()
            except Exception as e:  # noqa: BLE001 - cleanup goes on
                print(f"cleanup: {e}", file=sys.stderr)


def run_scenario(name, scenario, make_context, work_prefix, keep=False, check=None, report=None):
    """Runs one scenario in a fresh work dir and prints PASS or FAIL with the reason. check(ctx)
    runs after the scenario and may fail it too; report(ctx) prints what explains a failure,
    after everything the scenario started has been taken down. An exception other than
    AssertionError is not a verdict: it goes up after the clean-up."""
    workdir = make_work_dir(f"{work_prefix}-{name}-")
    ctx = None
    ok = False
    try:
        ctx = make_context(workdir)
        scenario(ctx)
        if check is not None:
            check(ctx)
        ok = True
    except AssertionError as e:
        print(f"FAIL {name}: {e}")
    finally:
        if ctx is not None:
            ctx.close()
            if not ok and report is not None:
                report(ctx)
        finish_work_dir(workdir, keep, ok)
    if ok:
        print(f"PASS {name}")
    return ok


def run_scenarios(script, scenarios, make_context, work_prefix, tools=lambda names: (),
                  check=None, report=None, extra_options=None):
    """The whole driver: parses the command line, enters the network namespace and runs the
    chosen scenarios; returns the exit code. make_context(args, workdir) makes the context of
    one scenario; tools(names) names the commands the chosen scenarios need besides unshare
    and ip; extra_options(parser) adds the driver's own options after --program."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    if extra_options is not None:
        extra_options(parser)
    parser.add_argument("--scenario", default="all", help="one of: all, " + ", ".join(scenarios))
    parser.add_argument("--keep", action="store_true", help="keep the work dir")
    args = parser.parse_args()
    names = list(scenarios) if args.scenario == "all" else args.scenario.split(",")
    for n in names:
        if n not in scenarios:
            parser.error(f"unknown scenario {n}")

    code = enter_network_namespace(script, sys.argv[1:], ("unshare", "ip", *tools(names)))
    if code is not None:
        return code
    failed = [n for n in names
              if not run_scenario(n, scenarios[n], lambda workdir: make_context(args, workdir),
                                  work_prefix, args.keep, check, report)]
    return 1 if failed else 0

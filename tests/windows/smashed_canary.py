#!/usr/bin/python3
"""SmashedCanary.exe under Wine: built with the program's flags and stack guard, it seeds the guard
as wWinMain does and overruns a buffer on the stack of a function with a canary. The overrun must
end the process at once, as a stack cookie failure, and the seeded guard must be random."""

import argparse
import re
import subprocess
import sys
import unittest

OPTIONS = None

STATUS_STACK_BUFFER_OVERRUN = 0xC0000409
SEEDED = re.compile(r"^guard (?P<initial>0x[0-9a-f]+|0) seeded (?P<seeded>0x[0-9a-f]+|0)$",
                    re.MULTILINE)


def run_program():
    """The program's exit status and what it printed."""
    run = subprocess.run([OPTIONS.wine_run, OPTIONS.program], capture_output=True, text=True,
                         timeout=120)
    return run.returncode, run.stdout


class SmashedCanary(unittest.TestCase):
    def test_the_overrun_ends_the_process_before_its_function_returns(self):
        status, output = run_program()
        self.assertIn("overrunning\n", output)
        self.assertNotIn("returned", output)
        # Wine hands the Windows exit code's low byte to its Unix caller. An overwritten return
        # address would give an access violation's code instead (0xC0000005).
        self.assertEqual(status, STATUS_STACK_BUFFER_OVERRUN & 0xFF, output)

    def test_the_guard_is_seeded_with_a_random_value(self):
        guards = []
        for _ in range(2):
            output = run_program()[1]
            match = SEEDED.search(output)
            self.assertIsNotNone(match, output)
            guards.append((int(match["initial"], 16), int(match["seeded"], 16)))
        (first_initial, first), (second_initial, second) = guards
        # The same fixed value at each start, replaced by a different value at each start.
        self.assertNotEqual(first_initial, 0)
        self.assertEqual(first_initial, second_initial)
        self.assertNotIn(first, (0, first_initial))
        self.assertNotIn(second, (0, second_initial, first))


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("program", "wine-run"):
        parser.add_argument("--" + name, required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()

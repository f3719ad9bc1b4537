"""The driver shared by the script checks: one line per check, then "N passed, N failed[, N skipped]"."""


class CheckFailed(Exception):
    pass


def expect(cond, message):
    if not cond:
        raise CheckFailed(message)


def run_checks(checks, skip_reason=lambda name: None, counts=(0, 0)):
    """Runs (name, check) pairs; a check returns a detail or raises. Returns the exit code.

    `skip_reason` names why a check does not apply, or None; `counts` carries results of checks
    the caller ran itself.
    """
    passed, failed = counts
    skipped = 0
    for name, check in checks:
        reason = skip_reason(name)
        if reason:
            print(f"SKIP {name}: {reason}")
            skipped += 1
            continue
        try:
            print(f"PASS {name}: {check()}")
            passed += 1
        except CheckFailed as e:
            print(f"FAIL {name}: {e}")
            failed += 1
        except Exception as e:  # a crashing check is a failed check, not a crash
            print(f"FAIL {name}: {type(e).__name__}: {e}")
            failed += 1
    print(f"{passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else ""))
    return 1 if failed else 0

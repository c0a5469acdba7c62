"""What a watchdog does with each step of a sequence of wdtctl runs, by the rules of Linux's watchdog
core (drivers/watchdog/watchdog_dev.c) and of a legacy driver (ib700wdt.c), not by wdtctl's code:

- opening a stopped watchdog starts it; opening a running one of the core does not refresh it
  (a legacy driver refreshes it); the device has one holder at a time;
- a write or the keep-alive request refreshes a running watchdog; the request is refused by a
  driver that does not offer it;
- closing a running watchdog stops it only after the magic character, or always for a driver
  without magic close (nowayout refuses every stop); otherwise the close refreshes it;
- a watchdog that runs and is not refreshed for its timeout fires; the first firing ends what is
  judged of a sequence, since a real one resets the machine;
- a legacy driver with nowayout ignores the magic character, stops at the stop request, and starts
  again at every close without the character.

And by what each step of the tool promises: an arm (T) runs the watchdog with its timeout and
refreshes it; a refresh (R) refreshes a running watchdog and never starts one; a disable (D), and
a deliberate stop of the service (SIGTERM with --service), stop it unless nowayout; a loop keeps it
refreshed while it runs; no step leaves the magic character behind (sysfs "status" bit 0x100), since
the kernel keeps it over the close of a stopped watchdog and stops the next keeper's watchdog when
that one closes; a step that does what it was asked prints its confirmation, exits 0 and says
nothing on standard error, and one that cannot prints that it could not, and exits 1. An arm that
would not outlast the tool (a driver that stops at close) is not confirmed. Where sysfs shows no
state, the tool opens only a watchdog that its own note says it left running; without sysfs it
touches nothing on /dev/watchdog.
"""
from dataclasses import dataclass, field

MAGIC_MARK = 0x100          # the status bit of a magic character written and not yet used
EOPNOTSUPP = 95
MARGIN = 0.1                # no refresh may come this close to a deadline: too close to call
ALPHABET = "13RDKSksw"      # T1, T3, R, D, loop + SIGKILL / SIGTERM, the same with --service, a wait


@dataclass
class Kind:
    """A kind of watchdog and how it fires."""
    name: str
    fire: str                       # the kernel's line when it fires
    number: int = 0                 # the watchdog the tool is given
    magic_close: bool = True
    keepalive_request: bool = True
    nowayout: bool = False
    legacy: bool = False
    runs_from_load: bool = False    # running when the driver is loaded, unseen by sysfs
    reset_timeout: int = 2          # the timeout every sequence starts with
    scale: float = 1.0              # the hardware's seconds per second of timeout
    even_seconds: bool = False      # the hardware counts in steps of 2 s, rounding up
    stateless: bool = False         # sysfs shows no state: the tool goes by its own note of what it left running
    no_sysfs: bool = False          # sysfs is not mounted while the tool runs
    max_timeout: int = 600          # the longest timeout the driver takes
    sequences: list = None          # the sequences this kind runs, instead of every one
    stop_fails_once: bool = False   # the driver's first stop fails (EIO); a magic close tries again

    def effective(self, seconds):
        if self.even_seconds:
            seconds = 2 * ((seconds + 1) // 2)
        return seconds * self.scale


@dataclass
class Step:
    code: str
    start: float = None
    signalled: float = None
    end: float = None
    exit: int = None
    out: str = ""
    err: str = ""
    state: str = None
    status: str = None


@dataclass
class Keeper:
    """A second keeper: it opens the device, refreshes with the request only, and is killed."""
    opened: float = None
    open_result: int = None
    pings: list = field(default_factory=list)   # (time, result)
    killed: float = None


@dataclass
class Sequence:
    ident: str
    codes: str
    loaded: float = None            # when the driver was loaded anew for this sequence
    start: float = None
    steps: list = field(default_factory=list)
    holder: Keeper = None
    keeper: Keeper = None
    end: float = None
    fires: list = field(default_factory=list)
    trouble: list = field(default_factory=list)  # what went wrong in the harness itself


class Watchdog:
    """The watchdog's state by the kernel's rules."""

    def __init__(self, kind, sequence):
        self.kind = kind
        self.active = False          # sysfs "active": started through the device
        self.running = kind.runs_from_load
        self.timeout = kind.reset_timeout
        self.deadline = sequence.loaded + kind.effective(kind.reset_timeout) if kind.runs_from_load else None
        self.fire = None             # when it fires, once it has
        self.close_calls = []        # refreshes and stops within MARGIN of the deadline
        self.noted = False           # the tool's note that it left this watchdog running
        self.stop_fails = 1 if kind.stop_fails_once else 0

    def until(self, moment):
        """Lets time pass up to `moment`; a watchdog whose deadline passes fires then."""
        if self.fire is None and self.running and self.deadline <= moment:
            self.fire = self.deadline

    def touch(self, moment):
        """A refresh or a stop at `moment`: it must not come within MARGIN of the deadline."""
        self.until(moment)
        if self.fire is None and self.running and abs(self.deadline - moment) < MARGIN:
            self.close_calls.append(moment)

    def start(self, moment, timeout=None):
        self.touch(moment)
        if timeout is not None:
            self.timeout = timeout
        self.active = self.running = True
        self.deadline = moment + self.kind.effective(self.timeout)

    def refresh(self, moment):
        self.touch(moment)
        if self.running:
            self.deadline = moment + self.kind.effective(self.timeout)

    def stop(self, moment):
        self.touch(moment)
        self.active = self.running = False

    def open(self, moment):
        """Another keeper opens the device: a stopped watchdog starts; a legacy one is refreshed."""
        if not self.active or self.kind.legacy:
            self.start(moment)

    def close(self, moment):
        """A holder closes the device without the magic character."""
        kind = self.kind
        if not kind.magic_close and not kind.nowayout and not kind.legacy:
            self.stop(moment)
        else:
            self.refresh(moment)


def confirmation(kind, code):
    n = kind.number
    armed = lambda seconds: f"System will be reset after {seconds} seconds.\n"
    loop = armed(3) + "Entering endless loop: Timer for reboot 3 seconds. Refresh each 1 seconds.\r\n"
    return {"1": armed(1), "3": armed(3), "9": armed(9), "V": "", "R": f"WDT{n} has already been reseted!\r\n",
            "D": f"WDT{n} has already been disabled!\r\n", "K": loop, "S": loop, "k": loop,
            "s": loop + f"WDT{n} has already been disabled!\r\n", "w": "", "H": "", "X": "", "Q": ""}[code]


CLOSE_STOPS = "this driver stops the watchdog whenever its device is closed"
NO_STATE = "CONFIG_WATCHDOG_SYSFS"
NO_SYSFS = "is sysfs mounted"


def untouched(kind, step):
    """Without sysfs the tool cannot tell what owns /dev/watchdog, and touches nothing."""
    n = kind.number
    if step.code in "RD":
        return f"WDT{n} could not be {'reset' if step.code == 'R' else 'disabled'}!\r\n", 1, NO_SYSFS
    return ("" if step.code == "V" else f"WDT{n} could not be set!\r\n"), 1, NO_SYSFS


def apply(kind, w, step):
    """Carries out one step on the model; answers what the tool must print (stdout, exit status,
    and a phrase standard error must hold, or "" for nothing at all). A service says first why its
    previous run ended (each service step starts without a record), then which library it drives."""
    out, status, err = apply_step(kind, w, step)
    if step.code in "ksH":
        out = (f"WDT{kind.number}: no record of an earlier run.\r\n"
               f"WDT{kind.number}: the driver library is /opt/wdtctl/WDT.dll.\r\n") + out
    return out, status, err


def status_problems(kind, w, step, where):
    """A status (Q) changes nothing, which the replay of the rest checks, and what it says of the
    watchdog and of the keep-alive agrees with the model."""
    expected = [f"Watchdog: {kind.number}\n"]
    if kind.legacy or kind.stateless:
        expected.append("State: unknown\n")
    elif not kind.no_sysfs:
        expected += ["State: active\n" if w.active else "State: inactive\n", f"Timeout: {w.timeout} s\n"]
    problems = [f"{where}: the status lacks {line!r}: {step.out!r}" for line in expected if line not in step.out]
    # Steps run one after another: no keep-alive runs beside a status, which says so first (exit 3).
    if not step.out.startswith("Protected: no (no keep-alive runs"):
        problems.append(f"{where}: the status does not say first that no keep-alive runs: {step.out!r}")
    if not kind.no_sysfs and (step.exit != 3 or step.err):
        problems.append(f"{where}: the status exited {step.exit}, with {step.err!r} on standard error")
    return problems


def apply_step(kind, w, step):
    n = kind.number
    out, status, err = confirmation(kind, step.code), 0, ""
    warns = not kind.magic_close and not kind.nowayout and not kind.legacy
    if step.code == "Q":
        return "", 0, ""
    if kind.no_sysfs and step.code != "w":
        return untouched(kind, step)
    if step.code in "139" and int(step.code) > kind.max_timeout:
        # Refused: a watchdog that the open may have started is stopped again; one the tool's note
        # says it left running keeps running, refreshed by the close.
        out, status, err = f"WDT{n} could not be set!\r\n", 1, "cannot set a timeout"
        if w.noted:
            w.refresh(step.end)
        else:
            w.start(step.end)
            w.stop(step.end)
    elif step.code in "139":
        w.start(step.end, int(step.code))
        w.close(step.end)
        w.noted = kind.stateless
        if warns:
            # It stops when the tool exits: not confirmed.
            out, status, err = f"WDT{n} could not be set!\r\n", 1, CLOSE_STOPS
    elif step.code == "R":
        if kind.legacy:
            out, status, err = f"WDT{n} could not be reset!\r\n", 1, "legacy driver"
        elif kind.stateless and not w.noted:
            out, status, err = f"WDT{n} could not be reset!\r\n", 1, NO_STATE
        elif w.active:
            w.refresh(step.end)
            w.close(step.end)
    elif step.code == "D" and w.stop_fails:
        # The stop request fails. A watchdog that the disable's own open started is closed after the
        # magic character, and the kernel's stop at that close works; a running one keeps running.
        w.stop_fails = 0
        out, status, err = f"WDT{n} could not be disabled!\r\n", 1, "cannot stop"
        if w.active:
            w.refresh(step.end)
        else:
            w.start(step.end)
            w.stop(step.end)
    elif step.code == "D":
        if kind.stateless and not w.noted:
            out, status, err = f"WDT{n} could not be disabled!\r\n", 1, NO_STATE
        elif kind.legacy and kind.nowayout:
            # The stop request stops it, and the close without the magic character starts it again.
            out, status, err = f"WDT{n} could not be disabled!\r\n", 1, "cannot stop"
            w.start(step.end)
        elif kind.legacy:
            w.stop(step.end)
        elif kind.stateless:
            w.stop(step.end)
            w.noted = False
        elif w.active and kind.nowayout:
            out, status, err = f"WDT{n} could not be disabled!\r\n", 1, "cannot stop"
            w.refresh(step.end)
        elif w.active or w.running or not kind.nowayout:
            w.stop(step.end)
    elif step.code in "KSksV":
        w.start(step.start, 3)
        w.noted = kind.stateless
        for second in range(1, int(step.signalled - step.start) + 1):
            w.refresh(step.start + second)   # the loop's refreshes, one a second
        w.until(step.signalled)
        status = -15 if step.code == "S" else -9
        err = CLOSE_STOPS if warns else ""
        if step.code == "s":
            status = 0
            w.noted = False
            if w.stop_fails:
                # The held watchdog's stop fails: it stays held, and the exit's close refreshes it.
                w.stop_fails = 0
                out = out.replace("has already been disabled!", "could not be disabled!")
                status, err = 1, "cannot stop"
                w.close(step.end)
            elif kind.nowayout:
                out = out.replace("has already been disabled!", "could not be disabled!")
                status, err = 1, "cannot stop"
                w.close(step.end)
            else:
                w.stop(step.end)
        else:
            w.close(step.end)
    elif step.code == "H":
        out, status, err = f"WDT{n} could not be set!\r\n", 1, "another process holds the device"
    elif step.code == "X":
        # 200 refreshes through a link switched to a stopped watchdog and back: every one
        # succeeds (exit is the number that did not), and the other watchdog is never started.
        w.refresh(step.end)
    return out, status, err


def keeper_events(kind, w, keeper, problems, what):
    """The other keeper's life: open, refreshes by request, killed."""
    if keeper.open_result != 0:
        problems.append(f"{what} could not open the device: errno {keeper.open_result}")
        return
    w.open(keeper.opened)
    for moment, result in keeper.pings:
        w.until(moment)
        if w.fire is not None:
            return
        expected = 0 if kind.keepalive_request else EOPNOTSUPP
        if result != expected:
            problems.append(f"{what}'s keep-alive request answered {result}, expected {expected}")
        if result == 0:
            w.refresh(moment)
    if keeper.killed is not None:
        w.until(keeper.killed)
        if w.fire is None:
            w.close(keeper.killed)


def judge(kind, sequence, tolerance):
    """Replays one sequence on the model. Answers (problems, observed fire − predicted fire or None)."""
    problems = list(sequence.trouble)
    w = Watchdog(kind, sequence)
    observed = next((t for t in sequence.fires if t >= sequence.start), None)
    if any(t < sequence.start for t in sequence.fires):
        problems.append("fired before the sequence began")
    cut = observed if observed is not None else float("inf")  # nothing after a firing is judged

    for index, step in enumerate(sequence.steps):
        w.until(step.start)
        if w.fire is not None or step.start >= cut:
            break
        if step.code == "H" and sequence.holder is not None:
            keeper_events(kind, w, sequence.holder, problems, "the other keeper")
        out, status, err = apply(kind, w, step)
        if w.fire is not None or step.end is None or step.end >= cut:
            break
        where = f"step {index + 1} ({step.code})"
        if step.code == "Q":
            problems += status_problems(kind, w, step, where)
        elif step.code != "w":
            if step.out != out:
                problems.append(f"{where}: printed {step.out!r}, expected {out!r}")
            if step.exit != status:
                problems.append(f"{where}: exit status {step.exit}, expected {status}")
            lines = step.err.splitlines()
            if (err == "" and lines) or (err != "" and (len(lines) != 1 or err not in lines[0])):
                problems.append(f"{where}: standard error {step.err!r}, expected "
                                f"{'nothing' if err == '' else 'one line about ' + repr(err)}")
        if not kind.legacy and step.state is not None:
            expected_state = "active" if w.active else "inactive"
            if step.state != expected_state:
                problems.append(f"{where}: sysfs state {step.state}, expected {expected_state}")
            if step.status not in (None, "-") and int(step.status, 16) & MAGIC_MARK:
                problems.append(f"{where}: the magic character is left behind (status {step.status})")

    if w.fire is None and sequence.keeper is not None and sequence.keeper.opened is not None:
        if sequence.keeper.opened < cut:
            keeper_events(kind, w, sequence.keeper, problems, "the second keeper")
    w.until(sequence.end)

    for moment in w.close_calls:
        problems.append(f"harness timing: a refresh at {moment:.3f} s is within {MARGIN} s of the deadline")
    predicted = w.fire
    if predicted is None and observed is None:
        return problems, None
    if predicted is None:
        problems.append(f"fired {observed - sequence.start:.3f} s into the sequence; the model says it never fires")
        return problems, None
    if observed is None:
        problems.append(f"never fired; the model says it fires {predicted - sequence.start:.3f} s into the sequence")
        return problems, None
    offset = observed - predicted
    if not tolerance[0] <= offset <= tolerance[1]:
        problems.append(f"fired {offset:+.3f} s from the model's time ({predicted - sequence.start:.3f} s into "
                        f"the sequence)")
    return problems, offset

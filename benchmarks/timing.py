"""timeit helpers shared by the Python-level benchmarks.

The clock is the process's CPU time (time.process_time), not the wall clock:
on a loaded machine the time a process waits for a core is not its own cost.
"""

import statistics
import time
import timeit


def _timer(stmt, env, target_s):
    timer = timeit.Timer(stmt, timer=time.process_time, globals=env)
    number, elapsed = timer.autorange()
    number = max(1, int(number * target_s / max(elapsed, 1e-9)))
    return timer, number


def compare(rows, env, repeat=9, target_s=0.02):
    """Times each (name, ours, peer) pair of statements.

    Each repeat runs one statement as many times as takes about `target_s`
    seconds (timeit's loop, whose own few ns per iteration are included in
    both sides alike; see the `pass` row), and the two sides alternate
    repeat by repeat, so that a change of machine load hits both. The figure
    is the median of the repeats, in ns per statement.
    """
    out = []
    for name, ours, peer in rows:
        t_ours, n_ours = _timer(ours, env, target_s)
        t_peer, n_peer = _timer(peer, env, target_s)
        a, b = [], []
        for _ in range(repeat):
            a.append(t_ours.timeit(n_ours) / n_ours * 1e9)
            b.append(t_peer.timeit(n_peer) / n_peer * 1e9)
        out.append(
            {
                "name": name,
                "ours": ours,
                "peer": peer,
                "ours_ns": statistics.median(a),
                "peer_ns": statistics.median(b),
            }
        )
    return out


def ns_per_call(stmt, env, repeat=9, target_s=0.02):
    timer, number = _timer(stmt, env, target_s)
    return statistics.median(timer.timeit(number) / number * 1e9 for _ in range(repeat))

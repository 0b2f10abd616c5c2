"""The demo job (python -m kestrum), shrunk: both stacks run and agree."""

import io

from kestrum import demo


def test_demo_runs_both_stacks_and_checks_every_task(monkeypatch):
    monkeypatch.setattr(demo, "TASKS", 3000)
    monkeypatch.setattr(demo, "ROUNDS", 2)
    out = io.StringIO()
    assert demo.main(out) == 0
    text = out.getvalue()
    rows = [line for line in text.splitlines() if line.startswith((demo.STDLIB, demo.KESTRUM))]
    assert len(rows) == 2 and rows[0].endswith("1.00x"), text
    workers = [line.split() for line in text.splitlines() if line.strip()[:1].isdigit()]
    assert sum(int(w[1].replace(",", "")) for w in workers) == 3000, text
    assert "every task ran exactly once, in every round of both: yes" in text

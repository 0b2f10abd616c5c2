"""`python -m kestrum`: the package's demo job."""

from kestrum.demo import main

raise SystemExit(main())

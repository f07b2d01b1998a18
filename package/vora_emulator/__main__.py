"""``python -m vora_emulator``: the ``vora-emulator`` command."""

from vora_emulator.cli import main

raise SystemExit(main())

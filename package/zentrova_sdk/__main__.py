"""``python -m zentrova_sdk``: the ``zentrova-sdk`` command."""

from zentrova_sdk.cli import main

raise SystemExit(main())

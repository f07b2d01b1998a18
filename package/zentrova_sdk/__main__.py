"""``python -m zentrova_sdk``: the ``zentrova-sdk`` command."""

from zentrova_sdk._command import main

raise SystemExit(main())

"""python -m velko_tools: the velko command."""

from velko_tools.cli import main

raise SystemExit(main())

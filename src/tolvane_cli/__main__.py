from tolvane_cli.cli import main

raise SystemExit(main())

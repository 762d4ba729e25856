from tolvane_tools.cli import main

raise SystemExit(main())

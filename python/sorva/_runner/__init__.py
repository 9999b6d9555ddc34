"""The runner: from the command line's options to a recorded run (options, discover, plan, schedule, execution)."""

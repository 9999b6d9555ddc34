"""How jobs run: the seam between the runner and an executor, and the executors themselves."""

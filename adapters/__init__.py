"""Reference host adapters for the zorvane native modules."""

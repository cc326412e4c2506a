"""End-to-end tests: the kernel and the add-in in Node (a package, so that their bridge ends with them)."""

// Per-user settings store.

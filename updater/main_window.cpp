// The updater main window logic.

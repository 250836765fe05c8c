// Dialogs.

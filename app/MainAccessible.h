#pragma once

// What screen readers learn of the main window beyond Qt's own interfaces:
// - the editable fields (server, command line): Qt names an editable combo
//   box on Linux by its value, so the field would be called "127.0.0.1";
//   here the name is the field's own, and its text is the value;
// - menu entries: Qt's gives them no description; here it is the status tip.

// Registers the interfaces with Qt's accessibility; once per program.
void InstallMainWindowAccessibility();

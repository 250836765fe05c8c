#pragma once

// The server field's rules, shared by the main window and the server check:
// what may be typed, no inline completion, and the history list.

class QComboBox;
class QString;

namespace ServerField {

inline constexpr int kHistoryLimit = 64;

// Editable, the key filter applied, no completer: what is used is what was
// typed; the history is offered through the list alone.
void ApplyRules(QComboBox* Field);

// Removes an entry equal to Text (without regard to case), puts Text first and
// keeps at most kHistoryLimit entries. The command line keeps its history so too.
void PushHistory(QComboBox* Combo, const QString& Text);

} // namespace ServerField

#pragma once

// The practice server's sample mailbox: German teaching messages built into
// the program, the same for every session, so practice can be repeated and
// DELE never touches real mail. Texts are stored as they travel (CR LF line
// ends, before dot-stuffing); sizes are their exact octet counts.

#include <cstddef>
#include <string>
#include <vector>

// The fixed log-in of the practice server (ASCII: the window's fields take
// nothing else).
constexpr const char* kPracticeUser = "lotse";
constexpr const char* kPracticePassword = "uebung";

struct TPracticeMessage {
    std::string Uid; // UIDL's unique id, stable across sessions
    std::string Text; // the whole message, CR LF line ends
};

class TPracticeMailbox {
public:
    // The built-in mailbox; built once, shared by every session (read only).
    static const TPracticeMailbox& Sample();

    size_t Count() const { return FMessages.size(); }
    // Number is 1-based, as in POP3.
    const TPracticeMessage& Message(size_t Number) const { return FMessages.at(Number - 1); }

private:
    TPracticeMailbox();
    std::vector<TPracticeMessage> FMessages;
};

#pragma once

// The mailbox map: one row per message from LIST, UIDL and the header block
// of TOP n 0, and the rules that keep it current (DELE, RSET) and match it
// to the map of an earlier session by UIDL, since numbers change between
// sessions and unique ids do not. No Qt.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct TMailboxRow {
    int Number = 0; // in this session; 0 when the message is no longer there
    std::string Uidl;
    uint64_t Size = 0;
    std::string Date; // "2026-12-07 22:00 +0100", as written when unreadable
    std::string From; // decoded
    std::string Subject; // decoded
    bool Deleted = false; // marked with DELE in this session
    bool New = false; // not in the earlier map of this server
    bool Gone = false; // in the earlier map, not on the server any more
    int EarlierNumber = 0; // its number in the earlier map, 0 when none
};

// The "n value" lines of a positive LIST or UIDL body as sent (dot-stuffed,
// with the final "."); lines that are no such pair are skipped.
std::vector<std::pair<int, std::string>> ParseListing(const std::string& Body);

// Rows for LIST and UIDL bodies (UIDL may be empty: a server without it).
std::vector<TMailboxRow> RowsFromListings(const std::string& ListBody, const std::string& UidlBody);

// Date, From and Subject from the body of TOP n 0.
void FillFromHeader(TMailboxRow& Row, const std::string& TopBody);

// Marks Current against the map of an earlier session: rows whose UIDL was
// there keep it in EarlierNumber, the others are New; earlier rows whose
// UIDL is gone follow at the end as Gone. Without an earlier map (or without
// UIDLs) nothing is marked.
void MatchByUidl(std::vector<TMailboxRow>& Current, const std::vector<TMailboxRow>& Earlier);

// What a positive reply to a command means for the map: DELE n marks row n,
// RSET unmarks all. True when a row changed.
bool FollowCommand(std::vector<TMailboxRow>& Rows, const std::string& Word, int Number);

// The note column: deleted, new, gone, earlier number.
std::string RowNote(const TMailboxRow& Row);

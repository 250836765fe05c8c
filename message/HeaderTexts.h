#pragma once

// One-line German explanations: header fields, results of authentication
// checks, DKIM tags. No Qt.

#include <string>

// Value is the decoded value (for Date: the local time is added). Known is
// false for a field this table does not know; the text then says so.
std::string ExplainHeader(const std::string& Name, const std::string& Value, bool& Known);

std::string ExplainAuthResult(const std::string& Method, const std::string& Result);

std::string ExplainDkimTag(const std::string& Tag, const std::string& Value);

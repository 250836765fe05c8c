#pragma once

// A message's anatomy for the terminal: JSON in the shape the README
// documents, or German text. No Qt.

#include <string>

#include "message/MessageAnatomy.h"

std::string AnatomyJson(const TMessageAnatomy& Anatomy);
std::string AnatomyText(const TMessageAnatomy& Anatomy);

// Conversation rules.

); emitting it unchanged

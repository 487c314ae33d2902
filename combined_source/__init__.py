"""Host package of the code translator (a small, working stand-in)."""

// The one way the program writes a failure message.
#pragma once

// Writes message to standard error unchanged: no prefix, no suffix, no formatting.
// Standard output is flushed first, so that when both streams go to one file or pipe the
// lines appear in the order the program wrote them.
void reportFailure(const char* message);

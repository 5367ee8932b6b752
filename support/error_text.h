// support/error_text.h: text for an error number, without allocating, so that
// a child made by vfork may use it.
#pragma once

// Holds the fallback text; overwritten by the next call that needs it.
extern char error_text_buffer[48];

// The platform's text for `error_number`; where the platform has none,
// "undocumented error #<n>" in error_text_buffer. Never null; not to be freed;
// like strerror's, it may be overwritten by the next call.
const char *error_text(int error_number);

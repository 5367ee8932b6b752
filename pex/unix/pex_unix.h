// pex/unix/pex_unix.h: the Unix back end of the process-execution library.
#pragma once

#include "pex/pex.h"

// Constant, shared by every pipeline; all nine slots are filled.
extern const pex_backend pex_unix_backend;

#ifdef PEX_UNIX_TEST_SEAMS
// Only in the library built for the tests: replaces vfork's refusal and the
// retry's sleep, so the 15 seconds of back-off can be checked without waiting.
// vfork_refusal returns the errno to fail with, or 0 to call the real vfork.
extern int (*pex_unix_vfork_refusal)();
extern unsigned (*pex_unix_sleep)(unsigned seconds);
#endif

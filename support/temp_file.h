// support/temp_file.h: empty temporary files with unpredictable names, in a
// directory chosen once per process.
#pragma once

// The chosen directory with one added '/': the first usable of $TMPDIR,
// $TMP, $TEMP, "/tmp/", "/var/tmp", "/tmp", else ".". The same pointer on
// every call; not to be freed or changed.
const char *pick_temp_dir();
// Creates an empty file named directory + prefix ("cc" when null) + six
// random characters + suffix (none when null) and returns its name, which the
// caller frees and removes. When no file can be made, prints why and aborts.
char *new_temp_file_prefixed(const char *prefix, const char *suffix);
char *new_temp_file(const char *suffix);

// support/relocate.h: where a configured installation directory lies now,
// judged by where the running program really is.
//
// These routines allocate with plain malloc and report a failed allocation
// as a null result, like every other "nothing to say": callers then fall back
// to the configured directory.
#pragma once

// The way from `bin_dir` to `target_dir` applied to the program's real
// directory (symbolic links resolved). A new text the caller frees, ending in
// '/' when `target_dir` does; null when the program lies in `bin_dir`, when
// the two directories share not even their root, or on any failure. Never
// normalised: "/opt/tc/bin/../lib/x/". A name without '/' is first looked up
// along $PATH (an empty element is the working directory); when no executable
// file is found it stays as it is.
char *relocate_prefix(const char *program_name, const char *bin_dir, const char *target_dir);
// The same, with the program's location taken as its name, links unresolved.
char *relocate_prefix_no_links(const char *program_name, const char *bin_dir,
                               const char *target_dir);
// What the two above do, with or without resolving links.
char *relocate_prefix_common(const char *program_name, const char *bin_dir,
                             const char *target_dir, bool resolve_links);

// The two halves of relocate_prefix, for a program that relocates several
// directories and should find and resolve its own name only once.
// locate_program: the name completed along $PATH as relocate_prefix does,
// then with symbolic links resolved; a new text the caller frees, null for a
// null name or a failed allocation. relocate_located_prefix: relocate_prefix
// for the program that lies at `location`, taken as it stands; so that
// relocate_located_prefix(locate_program(name), bin_dir, target_dir) is
// relocate_prefix(name, bin_dir, target_dir).
char *locate_program(const char *program_name);
char *relocate_located_prefix(const char *location, const char *bin_dir, const char *target_dir);

// Splits `path` into components, each a run of non-'/' characters with the
// '/' run that follows it (a leading '/' run stands alone). A new
// null-terminated array of new texts, count stored in *count; null for an
// empty path or a failed allocation (count then untouched).
char **split_path_components(const char *path, int *count);
// Frees what split_path_components made; null is allowed.
void free_path_components(char **components);
// Just after the last '/', or `path` itself; allocates nothing.
const char *path_basename(const char *path);
// realpath of `path`, or a copy of `path` when that fails; null only when
// the copy cannot be made. The caller frees it.
char *resolve_real_path(const char *path);

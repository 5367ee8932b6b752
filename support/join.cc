#include "support/join.h"

#include <stdlib.h>
#include <string.h>

#include "support/alloc.h"

char *join_shared_buffer = nullptr;

size_t join_strings_length_list(const char *const *texts)
{
    size_t length = 0;
    for (; *texts != nullptr; texts++)
        length += strlen(*texts);
    return length;
}

char *join_strings_into_list(char *destination, const char *const *texts)
{
    char *end = destination;
    for (; *texts != nullptr; texts++) {
        size_t length = strlen(*texts);
        memcpy(end, *texts, length);
        end += length;
    }
    *end = '\0';
    return destination;
}

char *join_strings_list(const char *const *texts)
{
    char *joined = static_cast<char *>(alloc_or_die(join_strings_length_list(texts) + 1));
    return join_strings_into_list(joined, texts);
}

char *rejoin_strings_list(char *old_block, const char *const *texts)
{
    char *joined = join_strings_list(texts);
    free(old_block);   // only now: the old block may have been one of the texts
    return joined;
}

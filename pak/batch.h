// Opening the members of a build ahead of their turn, many in one trip into
// the kernel where the system allows (io_uring on Linux), one at a time
// otherwise. Either way the same answers come, in member order.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "pak/walk.h"

// The members of one build, opened ahead; its parts are this file's own.
struct member_batch {
    const pak_record *records;
    uint64_t count;  // the members that may be opened: none from the first cut one on
    struct batch_ring *ring;  // null where members are opened one at a time
};

// Starts opening the members of list, which it reads and never changes.
void batch_start(member_batch &batch, const member_list &list);

// Returns member index opened as open_member opens it, with its status in st:
// the descriptor, MEMBER_UNOPENED with errno set, or MEMBER_NOT_REGULAR.
// Members must be asked for in list order.
int next_member_opened(member_batch &batch, uint64_t index, struct stat &st);

// The data of a small member read with its batch, and its status after.
struct member_read {
    const char *data;  // valid until the next member is asked for
    uint64_t length;
    struct stat after;
};

// Returns whether the member next_member_opened just gave was read whole in
// its batch, filling read; otherwise it is read from its descriptor.
bool member_read_ahead(member_batch &batch, member_read &read);

// Closes fd, a member next_member_opened gave, once its copy is done.
void member_done(member_batch &batch, int fd);

// Closes every member opened ahead and not asked for, unread, and ends the batch.
void batch_end(member_batch &batch);

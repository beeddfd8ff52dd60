#include "wrapper.h"

#include <sys/prctl.h>

/*
 * The state the target is meant to run with holds cap alone.  Applying only
 * that before the identity change would take CAP_SETUID and CAP_SETGID away
 * from setgroups, setresgid and setresuid, so the first state holds them too
 * and caps_reapply drops them once the ids are set.
 */
const char *caps_keep(cap_value_t cap, cap_t *state)
{
    cap_value_t with_id_change[] = { cap, CAP_SETUID, CAP_SETGID };
    cap_t caps = cap_init();

    *state = caps;
    if (caps == NULL)
        return "cap_init";
    if (cap_clear(caps) != 0)
        return "cap_clear";
    if (cap_set_flag(caps, CAP_EFFECTIVE, 3, with_id_change, CAP_SET) != 0
        || cap_set_flag(caps, CAP_PERMITTED, 3, with_id_change, CAP_SET) != 0
        || cap_set_flag(caps, CAP_INHERITABLE, 1, &cap, CAP_SET) != 0)
        return "cap_set_flag";
    if (cap_set_proc(caps) != 0)
        return "cap_set_proc";
    if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0)
        return "prctl";
    return NULL;
}

const char *caps_reapply(cap_value_t cap, cap_t state)
{
    if (cap_clear(state) != 0)
        return "cap_clear";
    if (cap_set_flag(state, CAP_EFFECTIVE, 1, &cap, CAP_SET) != 0
        || cap_set_flag(state, CAP_PERMITTED, 1, &cap, CAP_SET) != 0
        || cap_set_flag(state, CAP_INHERITABLE, 1, &cap, CAP_SET) != 0)
        return "cap_set_flag";
    if (cap_set_proc(state) != 0)
        return "cap_set_proc";
    if (cap_free(state) != 0)
        return "cap_free";
    return NULL;
}

// Placeholder until the algorithm 0 encoder lands: stores or packs Updated'.
#include "coder/create_internal.h"
namespace quoralith {
int create_algorithm0(CreateJob& job) {
    int rc = prepare_updated(job);
    if (rc < 0) return rc;
    if (job.u >= 200) {
        rc = prepare_base(job);
        if (rc < 0) return rc;
    }
    return small_path(job);
}
}  // namespace quoralith

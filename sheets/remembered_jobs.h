// What the sheets and the wizard remember and suggest between jobs: the last
// job of each kind (so that a sheet opens where the user left it, also in a
// later run of the program), the names each path field was given lately, and
// the output name that follows from an input. Toolkit-free.
#pragma once

#include <string>

#include "sheets/job_settings.h"

namespace quoralith {

// Keeps `job` as the last job of its kind (its Action), in the recent-names
// file of the configuration directory, and adds its names to the recent
// lists. False when nothing could be written.
bool remember_job(const JobSettings& job);

// Loads the last job of kind `action` (0 Create, otherwise Restore) into
// `job`; false, leaving `job` untouched, when none was kept.
bool recall_last_job(int action, JobSettings& job);

// The size the user last gave the Create (create = true) or Restore sheet,
// so that a sheet made wider for long names opens as wide again. Recall
// gives false when none was kept.
bool remember_sheet_size(bool create, int width, int height);
bool recall_sheet_size(bool create, int& width, int& height);

// The Delta name a Create suggests for the Updated name `updated`: the same
// name with ".dlt" added, beside it ("new/app.bin" gives "new/app.bin.dlt").
// Empty for an empty name.
std::string suggested_delta_name(const std::string& updated);

// The Updated name a Restore suggests for the Delta name `delta`: the Delta's
// name without its ".dlt" ("app.bin.dlt" gives "app.bin"); ".restored" is
// added when there is no ".dlt" to drop, and when the name would be the Base
// itself (a restore is never offered over its own Base). Empty for an empty
// name.
std::string suggested_restored_name(const std::string& delta, const std::string& base);

}  // namespace quoralith

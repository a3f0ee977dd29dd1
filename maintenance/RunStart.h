#pragma once
// The run as "Выполнить" starts it, without the window's own business (busy and idle
// states, pointer, focus): shared by the window and the headless front end.
#include "maintenance/Context.h"

#include <functional>
#include <string>

namespace k5 {

// Resets the run state, takes the database folder from the folder field or the setting
// "DataBasePath", makes the run's time stamp (waiting one second first, again while an
// archive of that stamp exists), names the logs and the backup suffix, runs the check pass
// with the repair behind it and saves the whole protocol as the RTF log. Nothing is written
// outside the protocol folder of a database folder that exists: without one the logs are
// not written, and the result says why ("не задана папка базы данных."); it is empty
// when the RTF log was saved.
std::string StartRun(MaintenanceContext& ctx);

// The same start with the check pass alone (no repair): the logs are named and written
// as for a run, so a scheduled check leaves its record in the protocol folder.
std::string StartCheckOnly(MaintenanceContext& ctx);

} // namespace k5

// The public result record from the engine's scoring record, shared by the
// entry points of the public API.
#pragma once

#include "engine/recogTask.h"
#include "engine/utility.h"
#include "quorvane.h"

namespace quorvane {

// Texts stay in the data files' code page; `names` are the model names.
// The public kind of an engine error.
ErrorKind publicKind(qv::FatalKind kind);

Result toResult(const qv::mlfClass& m, int textIndex, const qv::macroNameList& names);

}  // namespace quorvane

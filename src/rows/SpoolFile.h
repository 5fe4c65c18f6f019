#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/CheckCall.h"
#include "base/UniqueFd.h"

namespace ravelin {

/// A payload spool's file on disk, open and locked under its own name.
struct SpoolFile {
    UniqueFd file;
    std::string path;
};

/// Opens a new spool file in the first of `directories` that can hold one (each is made, mode
/// 0700, when missing), after removing the spools there that no running instance holds. The
/// file has mode 0600 and an exclusive flock for as long as it stays open, so that the next
/// instance leaves it alone. Nothing, and `error` says why, when no directory can hold one.
std::optional<SpoolFile> OpenSpoolFile(const std::vector<std::string>& directories,
                                       SystemError& error);

}  // namespace ravelin

#include "output/CaptureSaving.h"

#include "base/FileIo.h"
#include "rows/PayloadSpool.h"

namespace ravelin {

CallResult SaveCapture(const std::string& path, CaptureLists& lists) {
    // Half a capture is worse than none: a reader would take it for the whole.
    return WriteFile(path, FailedFile::kRemove,
                     [&lists](int descriptor) { return lists.spool->CopyTo(descriptor); });
}

}  // namespace ravelin

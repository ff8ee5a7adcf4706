// The archiver's exception and its message table. Defined with the directory
// code, which raises it as well; the archiver's callers include it from here.
#pragma once

#include "zipformat/KMException.h"

namespace km {

// A running commit (of another program, or another archive object) holds the
// archive: it is neither read nor rolled back under it.
class EKMArchiveBusy : public Exception {
 public:
  explicit EKMArchiveBusy(const std::u16string& fileName)
      : Exception(u"The archive \"" + fileName +
                  u"\" is being updated by another program; try again when it has finished") {}
};

}  // namespace km

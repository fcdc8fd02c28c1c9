// The "EndProcess" operation: ends one process after checking that its id, creation time and
// image name still describe the process the console saw, and that it is not protected.
#pragma once

#include "quillmesh/Framework.h"

class ProcessTerminator {
  public:
    static bool EndProcess(const CORE::PropertyBag& request, CORE::PropertyBag& reply);
};

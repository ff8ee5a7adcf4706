// The archiver's exception and its message table. Defined with the directory
// code, which raises it as well; the archiver's callers include it from here.
#pragma once

#include "zipformat/KMException.h"

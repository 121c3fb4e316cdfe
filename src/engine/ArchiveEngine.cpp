#include "ArchiveEngine.h"

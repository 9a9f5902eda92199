#include "SimPlatform.h"
